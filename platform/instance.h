#pragma once
// What the single-instance guard needs from the platform: a small named block of shared memory,
// and a way for a second copy of the program to ask the first one to come forward.
//
// The block is POSIX shared memory under the given name joined with the user id (Linux shares
// the name machine-wide). The copy that runs holds the block's owner lock for as long as it
// lives; the system lets it go when the copy ends or crashes, so whether a copy runs is told by
// the lock alone. The 32-bit value that copy stores in the block is its "application window
// handle": an endpoint (an abstract local socket named after the block, the user and the
// handle, which leaves no file behind and takes requests from this user only) through which
// later copies ask it to restore and raise itself. A copy that listens but is busy is alive,
// however long it takes to answer.
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TSharedMemBlock {
public:
    // Creates the block, or opens it when it exists; null with Error set to an errno value.
    static std::unique_ptr<TSharedMemBlock> Open(const QString& Name, int Size, int& Error);
    TSharedMemBlock(const TSharedMemBlock&) = delete;
    TSharedMemBlock& operator=(const TSharedMemBlock&) = delete;
    ~TSharedMemBlock();  // unmaps and closes; the name goes when the last copy has closed it
    void* Data() const { return Data_; }
    int Size() const { return Size_; }
    // Takes the owner lock without waiting; false while another copy holds it. Held until the
    // block is closed (or the process ends, however it ends).
    bool TakeOwnerLock();

private:
    TSharedMemBlock() = default;
    void* Data_ = nullptr;
    int Size_ = 0;
    int Fd_ = -1;
    std::string ObjectName_;  // the POSIX name, needed to remove it
};

// The program's "application window": the endpoint other copies reach through its handle.
class TAppWindowEndpoint : public QObject {
public:
    explicit TAppWindowEndpoint(const QString& BlockName, QObject* Parent = nullptr);
    ~TAppWindowEndpoint() override;
    uint32_t Handle() const { return Handle_; }  // the process id, so never 0
    bool Listening() const;
    // Why the endpoint does not listen ("" while it does): later copies cannot reach this one.
    const QString& ListenError() const;

    // Runs when another copy asks this one to come forward (restore if minimised, then raise).
    std::function<void()> OnActivationRequested;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
    uint32_t Handle_ = 0;
};

enum class TOwnerReply : uint8_t {
    Answered,  // the copy came forward
    Busy,      // the copy lives (its endpoint takes the request) but did not answer in time
    Gone,      // no copy listens on the handle any more: the block is stale
};

// Asks the copy that stored Handle to come forward, waiting at most TimeoutMs for its answer.
// Only an endpoint of this user whose process is Handle is asked; anything else at its address
// counts as nobody listening.
TOwnerReply RequestActivation(const QString& BlockName, uint32_t Handle, int TimeoutMs);

// The endpoint's socket address (abstract: it starts with a zero byte), for tests that occupy it.
QByteArray EndpointAddress(const QString& BlockName, uint32_t Handle);

// The block name of this program (see the guard), overridable for tests with the environment
// variable KORVELCHAT_INSTANCE_NAME; the settings folder with KORVELCHAT_CONFIG_DIR.
QString InstanceNameOverride();
QString ConfigDirOverride();
