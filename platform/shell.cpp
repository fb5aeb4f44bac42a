#include "shell.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUrl>

#include <mutex>

namespace {

std::mutex HandlerMutex;
std::function<bool(const QString&)> Handler;

// "https://…", "mailto:…" and the like. A scheme of one letter is a drive ("C:\help.hlp"), and
// text that does not parse as an address is a path.
bool HasScheme(const QUrl& url) { return url.isValid() && url.scheme().size() > 1; }

}  // namespace

bool ShellOpen(const QString& Target) {
    std::function<bool(const QString&)> handler;
    {
        std::lock_guard lock(HandlerMutex);
        handler = Handler;
    }
    if (handler) return handler(Target);
    if (Target.isEmpty()) return false;

    // The desktop services belong to the GUI application; without one there is no desktop.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return false;

    return QDesktopServices::openUrl(ShellOpenUrl(Target));
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
