#pragma once
// The application object: the designed fonts mapped to this platform's, and an exception that
// escapes an event handler shown to the user in a message box with its text (the program goes
// on).
#include <QApplication>

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* Receiver, QEvent* Event) override;
};

// Shows an exception's text the way the application does for escaped exceptions.
void ShowException(const std::exception& E);
