#include "reconnect.h"

#include <algorithm>

TReconnect::TReconnect(QObject* Parent, int SecondMs) : QObject(Parent), SecondMs_(SecondMs) {
    Timer_.setInterval(SecondMs);
    connect(&Timer_, &QTimer::timeout, this, &TReconnect::Tick);
}

void TReconnect::SetEnabled(bool On) {
    Enabled_ = On;
    if (!On) Cancel();
}

int TReconnect::DelayFor(int Failures) {
    return Failures >= 5 ? MaxDelaySeconds : std::min(MaxDelaySeconds, 2 << std::max(Failures, 0));
}

void TReconnect::LoginAccepted() {
    if (Accepted_) return;
    Accepted_ = true;
    Since_.start();
}

void TReconnect::ConnectionLost(bool AttemptFailed) {
    const bool accepted = Accepted_;
    const bool stable = accepted && Since_.isValid() && Since_.elapsed() >= qint64(StableSeconds) * SecondMs_;
    Accepted_ = false;
    Since_.invalidate();
    if (!Enabled_ || Timer_.isActive()) return;
    if (AttemptFailed || !accepted) {
        // A failed Connect of the user's own, and a login the server refused, are the user's to
        // repeat; within a series either is one more failed attempt, whatever the failure was.
        if (!InSeries_) {
            Cancel();
            return;
        }
        ++Failures_;
    } else if (stable) {
        Failures_ = 0;
    } else if (InSeries_) {
        ++Failures_;  // accepted and dropped again at once
    }
    InSeries_ = true;
    if (Failures_ >= MaxFailures) {
        Cancel();
        if (OnGiveUp) OnGiveUp();
        return;
    }
    SecondsLeft_ = DelayFor(Failures_);
    Timer_.start();
    if (OnCountdown) OnCountdown(SecondsLeft_);
}

void TReconnect::Cancel() {
    Timer_.stop();
    InSeries_ = false;
    Failures_ = 0;
    SecondsLeft_ = 0;
}

void TReconnect::Tick() {
    if (--SecondsLeft_ > 0) {
        if (OnCountdown) OnCountdown(SecondsLeft_);
        return;
    }
    Timer_.stop();
    if (OnAttempt) OnAttempt();
}
