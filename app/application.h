#pragma once
// The application object: the designed fonts mapped to this platform's, and an exception that
// escapes an event handler shown to the user in a message box with its text (the program goes
// on).
#include <QApplication>
#include <QFont>

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* Receiver, QEvent* Event) override;
};

// Shows an exception's text the way the application does for escaped exceptions.
void ShowException(const std::exception& E);

// A font of a designed family ("MS Sans Serif", "Arial"), naming the installed family that
// stands for it first: the font database finds that at once, where a name it lacks costs a
// fall-back search for every font made from it. The designed name stays last, for saving.
void SetDesignFamily(QFont& Font, const QString& Family);
QFont DesignFont(const QString& Family, int PointSize);
// The family a font was asked for: the designed name, or the family chosen.
QString DesignFamily(const QFont& Font);
