// Start-up probe for the chat window: the program's start sequence (application, fonts, main
// window with its settings and single-instance guard, show), linked as the program is, with a
// settings folder and instance name of its own. Reports when the shown window is idle.
#include "application.h"
#include "palnor_form.h"
#include "startup_probe.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <unistd.h>

int main(int argc, char** argv) {
    bench::TStartMarks marks;
    marks.Main = bench::MonotonicSeconds();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config;
    qputenv("KORVELCHAT_CONFIG_DIR", config.path().toLocal8Bit());
    qputenv("KORVELCHAT_INSTANCE_NAME", QByteArray("KorvelBenchStartup") + QByteArray::number(::getpid()));

    TApplication app(argc, argv);
    marks.App = bench::MonotonicSeconds();
    try {
        TPalnorForm form;
        if (form.AnotherInstanceRunning()) {
            std::printf("ok=0 another_copy=1\n");
            return 1;
        }
        marks.Built = bench::MonotonicSeconds();
        form.show();
        marks.Shown = bench::MonotonicSeconds();
        bench::ReportWhenIdle(form, marks);
        return app.exec();
    } catch (const std::exception& E) {
        std::printf("ok=0 error=%s\n", E.what());
        return 1;
    }
}
