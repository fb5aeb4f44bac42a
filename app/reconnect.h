#pragma once
// Reconnecting by itself after a session ended without the user asking. Attempts follow after
// 2, 4, 8 ... seconds (at most 60); five failures in a row end the series. A session counts as
// a success only when the server took the login and kept it for StableSeconds, so a server that
// accepts and drops at once cannot drive a reconnect loop.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class TReconnect : public QObject {
public:
    static constexpr int MaxFailures = 5;
    static constexpr int MaxDelaySeconds = 60;
    static constexpr int StableSeconds = 30;

    // SecondMs: the length of one countdown second (shorter in tests).
    explicit TReconnect(QObject* Parent = nullptr, int SecondMs = 1000);

    void SetSecondMs(int Ms) {
        SecondMs_ = Ms;
        Timer_.setInterval(Ms);
    }
    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On);

    // The seconds to wait before the attempt that follows Failures failures in a row.
    static int DelayFor(int Failures);

    // A new connection stands; its login is not taken yet.
    void SessionStarted() {
        Accepted_ = false;
        Since_.invalidate();
    }
    // The server accepted the login (it sent its first line after it); later calls for the same
    // session change nothing.
    void LoginAccepted();
    // The session or an attempt ended without the user asking. AttemptFailed: the connection
    // itself could not be made. Either, and a session whose login the server never accepted
    // (refused), is retried only within a running series, as one more failed attempt.
    void ConnectionLost(bool AttemptFailed);
    // The user pressed Connect or Disconnect: no attempt follows, the count starts afresh.
    void Cancel();

    bool Waiting() const { return Timer_.isActive(); }
    bool InSeries() const { return InSeries_; }
    int SecondsLeft() const { return SecondsLeft_; }
    int Failures() const { return Failures_; }

    std::function<void(int SecondsLeft)> OnCountdown;  // when waiting starts, then every second
    std::function<void()> OnAttempt;                   // time to connect again
    std::function<void()> OnGiveUp;                    // MaxFailures failures in a row

private:
    void Tick();

    bool Enabled_ = true;
    bool Accepted_ = false;
    bool InSeries_ = false;
    int Failures_ = 0;
    int SecondsLeft_ = 0;
    int SecondMs_ = 1000;
    QTimer Timer_;
    QElapsedTimer Since_;
};
