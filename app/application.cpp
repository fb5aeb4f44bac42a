#include "application.h"

#include "dialogs.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void ShowException(const std::exception& E) {
    Dialogs().MessageBox(QApplication::activeWindow(), QString::fromLocal8Bit(E.what()));
}

bool TApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& E) {
        ShowException(E);
    } catch (...) {
        Dialogs().MessageBox(QApplication::activeWindow(), QStringLiteral("Unknown error"));
    }
    return true;
}
