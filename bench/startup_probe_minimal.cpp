// Start-up probe for the baseline: a minimal Qt window (a main window with a menu bar and two
// plain-text panes), linked against Qt Widgets only, started and shown the same way.
#include "startup_probe.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSplitter>

int main(int argc, char** argv) {
    bench::TStartMarks marks;
    marks.Main = bench::MonotonicSeconds();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    marks.App = bench::MonotonicSeconds();

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    QMenuBar* bar = window.menuBar();
    for (const char* name : {"Chat", "History", "Settings", "Help"}) bar->addAction(QString::fromLatin1(name));
    for (const char* name : {"Fonts", "Colors"}) {
        QMenu* menu = bar->addMenu(QString::fromLatin1(name));
        menu->addAction(QStringLiteral("Recv Window"));
        menu->addAction(QStringLiteral("Send Window"));
    }
    auto* panes = new QSplitter(Qt::Vertical);
    panes->addWidget(new QPlainTextEdit);
    panes->addWidget(new QPlainTextEdit);
    window.setCentralWidget(panes);
    window.setGeometry(0, 0, 300, 200);
    marks.Built = bench::MonotonicSeconds();
    window.show();
    marks.Shown = bench::MonotonicSeconds();
    bench::ReportWhenIdle(window, marks);
    return app.exec();
}
