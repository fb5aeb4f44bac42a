#include "shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <mutex>

namespace {

std::mutex HandlerMutex;
std::function<bool(const QString&)> Handler;

// "https://…", "mailto:…" and the like. A scheme of one letter is a drive ("C:\help.hlp"), and
// text that does not parse as an address is a path.
bool HasScheme(const QUrl& url) { return url.isValid() && url.scheme().size() > 1; }

const QString NothingOpensIt = QStringLiteral("nothing on this desktop opens it");

// The desktop opener's exit codes, in words.
QString OpenerFailure(int Code) {
    switch (Code) {
    case 2: return QStringLiteral("it does not exist");
    case 3: return NothingOpensIt;
    case 4: return QStringLiteral("the program that opens it failed");
    default: return QStringLiteral("the desktop could not open it (code %1)").arg(Code);
    }
}

void ReportLater(const std::function<void(const QString&)>& OnFailure, const QString& Why) {
    if (!OnFailure || !QCoreApplication::instance()) return;
    QTimer::singleShot(0, QCoreApplication::instance(), [OnFailure, Why] { OnFailure(Why); });
}

// The desktop's opener runs as a child whose exit tells whether anything opened Target. A shell
// stands between it and this process: ending this program ends only that shell, never the
// program the opener may have become (a browser, say).
bool RunOpener(const QString& Opener, const QUrl& Url, const std::function<void(const QString&)>& OnFailure) {
    auto* process = new QProcess(QCoreApplication::instance());
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process, [process, OnFailure](int Code, QProcess::ExitStatus Status) {
        process->deleteLater();
        if (Status != QProcess::NormalExit || Code != 0)
            ReportLater(OnFailure, Status == QProcess::NormalExit ? OpenerFailure(Code) : OpenerFailure(-1));
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, OnFailure](QProcess::ProcessError Error) {
        if (Error != QProcess::FailedToStart) return;
        process->deleteLater();
        ReportLater(OnFailure, NothingOpensIt);
    });
    const QString target = Url.isLocalFile() ? Url.toLocalFile() : Url.toString(QUrl::FullyEncoded);
    process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("\"$0\" \"$1\"; exit $?"), Opener, target});
    return true;
}

}  // namespace

bool ShellOpen(const QString& Target, std::function<void(const QString& Why)> OnFailure) {
    std::function<bool(const QString&)> handler;
    {
        std::lock_guard lock(HandlerMutex);
        handler = Handler;
    }
    const auto failed = [&](const QString& Why) {
        ReportLater(OnFailure, Why);
        return false;
    };
    if (handler) return handler(Target) || failed(NothingOpensIt);
    if (Target.isEmpty()) return failed(QStringLiteral("there is nothing to open"));

    const QUrl url = ShellOpenUrl(Target);
    if (const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open")); !opener.isEmpty())
        return RunOpener(opener, url, OnFailure);
    // Without the desktop's opener, Qt's own search for a program; it cannot tell whether the
    // program it found opened Target. The desktop services belong to the GUI application.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return failed(NothingOpensIt);
    return QDesktopServices::openUrl(url) || failed(NothingOpensIt);
}

QUrl ShellOpenUrl(const QString& Target) {
    const QUrl url(Target, QUrl::TolerantMode);
    if (!Target.startsWith(u'/') && HasScheme(url)) return url;
    return QUrl::fromLocalFile(QFileInfo(Target).absoluteFilePath());
}

void SetShellOpenHandler(std::function<bool(const QString& Target)> Handler_) {
    std::lock_guard lock(HandlerMutex);
    Handler = std::move(Handler_);
}
