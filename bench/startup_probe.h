#pragma once
// What the start-up probes share: the moments of the start sequence, and the report once the
// shown window is idle. A probe writes one line of "key=value" words (child_process.h) and ends.
#include "child_process.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace bench {

struct TStartMarks {
    double Main = 0;   // main entered (after the exec and the loading of the libraries)
    double App = 0;    // application object made
    double Built = 0;  // window constructed
    double Shown = 0;  // show() returned
};

// Idle: the window is exposed (on this platform, exposed means painted into its backing
// store), and a zero timer then runs twice, so what the showing posted has been handled. The
// figures are written then and the event loop ends.
inline void ReportWhenIdle(QWidget& Window, const TStartMarks& Marks) {
    auto* timer = new QTimer(&Window);
    timer->setInterval(0);
    auto turnsSinceExposed = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, &Window, [&Window, Marks, timer, turnsSinceExposed] {
        const QWindow* handle = Window.windowHandle();
        if (!handle || !handle->isExposed() || ++*turnsSinceExposed < 2) return;
        timer->stop();
        const double idle = MonotonicSeconds();
        const TMemory memory = ProcessMemory();
        std::printf("ok=1 main=%.6f app=%.6f built=%.6f shown=%.6f idle=%.6f hwm_kib=%ld rss_kib=%ld\n",
                    Marks.Main, Marks.App, Marks.Built, Marks.Shown, idle, memory.PeakKiB, memory.CurrentKiB);
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    timer->start();
}

}  // namespace bench
