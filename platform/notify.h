#pragma once
// Desktop notifications through the desktop's notification service on the session bus.
#include <QString>

#include <cstdint>
#include <functional>

// Shows a notification, or updates the one with ReplacesId (0 for a new one). Done is called
// later on this thread with the notification's id, or with 0 when no service answered; the
// call never blocks the caller.
using TNotifyDone = std::function<void(uint32_t Id)>;
void ShowDesktopNotification(const QString& Summary, const QString& Body, uint32_t ReplacesId,
                             TNotifyDone Done);

// Tests replace the service with a recorder; an empty function restores the real one.
using TNotifySink = std::function<void(const QString& Summary, const QString& Body,
                                       uint32_t ReplacesId, TNotifyDone Done)>;
void SetNotifySink(TNotifySink Sink);
