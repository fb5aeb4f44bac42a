#include "notify.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {

TNotifySink& Sink() {
    static TNotifySink sink;
    return sink;
}

void NotifyOverSessionBus(const QString& Summary, const QString& Body, uint32_t ReplacesId,
                          TNotifyDone Done) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (Done) Done(0);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, timeout (-1: the server's own)
    call << QStringLiteral("KorvelChat 2") << ReplacesId << QStringLiteral("korvelchat2") << Summary
         << Body << QStringList() << QVariantMap() << int32_t(-1);
    // A short timeout: a bus without a notification service answers at once, a hung one must
    // not keep the reply waiting for long.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [Done = std::move(Done)](QDBusPendingCallWatcher* w) {
                         const QDBusPendingReply<uint32_t> reply = *w;
                         w->deleteLater();
                         if (Done) Done(reply.isError() ? 0 : reply.value());
                     });
}

}  // namespace

void ShowDesktopNotification(const QString& Summary, const QString& Body, uint32_t ReplacesId,
                             TNotifyDone Done) {
    if (Sink())
        Sink()(Summary, Body, ReplacesId, std::move(Done));
    else
        NotifyOverSessionBus(Summary, Body, ReplacesId, std::move(Done));
}

void SetNotifySink(TNotifySink NewSink) { Sink() = std::move(NewSink); }
