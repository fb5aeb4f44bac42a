#include "instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QUrl>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Removing the block's name.
//
// Windows removes a named mapping when its last handle closes; POSIX shared memory stays until
// someone unlinks it. Every copy that has the block open holds a shared flock on it, and a
// copy that closes the block unlinks the name only when it can then take the lock exclusively,
// that is when nobody else has it open. A copy that opens the name just as the last user
// removes it could end up holding the removed object; it therefore takes its shared lock (which
// waits for the closing copy to finish) and checks that the object still has a name, opening
// again when it has not. So the name goes exactly when the last user closes the block, and a
// copy never registers in a block that later copies cannot see.
//
// A copy that crashes releases its lock with its descriptors but unlinks nothing, so the name
// can outlive every user and hold the crashed copy's handle. Nobody listens on that handle, and
// the guard then takes the block over: that is the recovery, and why stale blocks are harmless.
// A copy that is only busy still listens: the system takes the connection and holds the request
// until the copy reads it, so it is never taken for a stale one.

namespace {

constexpr char ActivateRequest[] = "activate\n";
constexpr char ActivateAnswer[] = "ok\n";
constexpr qsizetype MaxRequest = 64;  // anything longer is not one of ours

// The name as it may appear in a POSIX object name or a socket file name: percent-encoded, so
// different names stay different ("/" cannot appear), and a long name is cut and followed by a
// digest, so the socket path stays within the 108 bytes a Unix socket address holds.
QByteArray EncodedName(const QString& name) {
    QByteArray encoded = QUrl::toPercentEncoding(name, {}, "~");
    if (encoded.size() > 64) {
        const QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1);
        encoded = encoded.left(40) + '~' + digest.toHex().left(16);
    }
    return encoded;
}

QString ServerName(const QString& blockName, uint32_t handle) {
    return QStringLiteral("korvelchat-%1-%2-%3")
        .arg(QString::fromLatin1(EncodedName(blockName)))
        .arg(geteuid())
        .arg(handle);
}

bool LockShared(int fd) {
    while (::flock(fd, LOCK_SH) != 0)
        if (errno != EINTR) return false;
    return true;
}

}  // namespace

std::unique_ptr<TSharedMemBlock> TSharedMemBlock::Open(const QString& Name, int Size, int& Error) {
    Error = 0;
    if (Name.isEmpty() || Size <= 0) {
        Error = EINVAL;
        return nullptr;
    }
    const std::string objectName =
        '/' + EncodedName(Name).toStdString() + '-' + std::to_string(geteuid());

    // Each retry follows a last user that removed the name between our open and our lock;
    // that cannot go on for long, but a bound keeps it from going on forever.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd = ::shm_open(objectName.c_str(), O_CREAT | O_RDWR, 0600);
        if (fd < 0) {
            Error = errno;
            return nullptr;
        }
        const auto fail = [&](int code) {
            ::close(fd);
            Error = code;
            return nullptr;
        };
        struct stat st {};
        if (!LockShared(fd) || ::fstat(fd, &st) != 0) return fail(errno);
        if (st.st_nlink == 0) {  // removed by its last user meanwhile: open the new one
            ::close(fd);
            continue;
        }
        // Shared memory names are machine-wide: a block planted by another user is refused.
        if (st.st_uid != ::geteuid()) return fail(EACCES);
        // A new object is empty, and growing it fills it with zeros.
        if (st.st_size < Size && ::ftruncate(fd, Size) != 0) return fail(errno);
        void* data = ::mmap(nullptr, static_cast<std::size_t>(Size), PROT_READ | PROT_WRITE,
                            MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) return fail(errno);

        std::unique_ptr<TSharedMemBlock> block(new TSharedMemBlock);
        block->Data_ = data;
        block->Size_ = Size;
        block->Fd_ = fd;
        block->ObjectName_ = objectName;
        return block;
    }
    Error = EAGAIN;
    return nullptr;
}

// An open file description lock on the block's first byte: it belongs to this block's
// descriptor (not to the process, so a second block of the same process conflicts with it),
// and it goes with the descriptor. It is independent of the shared flock taken on opening.
bool TSharedMemBlock::TakeOwnerLock() {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    while (::fcntl(Fd_, F_OFD_SETLK, &lock) != 0)
        if (errno != EINTR) return false;
    return true;
}

TSharedMemBlock::~TSharedMemBlock() {
    if (Data_) ::munmap(Data_, static_cast<std::size_t>(Size_));
    if (Fd_ < 0) return;
    // Give up the shared lock first, so that two copies closing at once cannot each see the
    // other's lock and both leave the name behind: one of them gets the exclusive lock.
    ::flock(Fd_, LOCK_UN);
    struct stat st {};
    if (::flock(Fd_, LOCK_EX | LOCK_NB) == 0 && ::fstat(Fd_, &st) == 0 && st.st_nlink > 0)
        ::shm_unlink(ObjectName_.c_str());
    ::close(Fd_);
}

// The endpoint is a Unix stream socket in the abstract namespace, served from the event loop:
// no file in a shared folder that others could plant or that a crash leaves behind, and no
// folder path to outgrow the address. Anyone may connect to an abstract name, so both sides
// check the other's credentials. It is written against the system's sockets rather than a
// network library so that starting the program loads no network stack it never uses.
namespace {

std::string SocketName(const QString& BlockName, uint32_t Handle) {
    return std::string(1, '\0') + ServerName(BlockName, Handle).toStdString();
}

socklen_t SocketAddress(const std::string& Name, sockaddr_un& Address) {
    Address = {};
    Address.sun_family = AF_UNIX;
    const std::size_t size = std::min(Name.size(), sizeof Address.sun_path);
    std::memcpy(Address.sun_path, Name.data(), size);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
}

// The peer's process and user, as the system vouches for them.
bool PeerIs(int Fd, uid_t User, pid_t Process = 0) {
    ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(Fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == User &&
           (Process == 0 || peer.pid == Process);
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

// Waits until Fd is ready for Events or the deadline passes; false on the deadline.
bool WaitFor(int Fd, short Events, const QDeadlineTimer& Deadline) {
    for (;;) {
        pollfd p{Fd, Events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<qint64>(Deadline.remainingTime(), INT32_MAX)));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return true;  // the call that follows reports it
    }
}

}  // namespace

struct TAppWindowEndpoint::TImpl {
    struct TPeer {
        int Fd = -1;
        QByteArray Request;
        std::unique_ptr<QSocketNotifier> Reading;
    };
    int Listener = -1;
    QString ListenError;
    std::unique_ptr<QSocketNotifier> Accepting;
    std::list<TPeer> Peers;
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
    QSocketNotifier* Serving = nullptr;  // the notifier whose signal runs: deleted once it returns

    void Serve(TAppWindowEndpoint& Owner, std::list<TPeer>::iterator Peer);
    void Drop(std::list<TPeer>::iterator Peer) {
        Peer->Reading->setEnabled(false);
        if (Peer->Reading.get() == Serving) Peer->Reading.release()->deleteLater();
        Peer->Reading.reset();
        ::close(Peer->Fd);
        Peers.erase(Peer);
    }
    ~TImpl() {
        *Alive = false;
        while (!Peers.empty()) Drop(Peers.begin());
        if (Listener < 0) return;
        Accepting.reset();
        ::close(Listener);
    }
};

TAppWindowEndpoint::TAppWindowEndpoint(const QString& BlockName, QObject* Parent)
    : QObject(Parent), Impl(std::make_unique<TImpl>()), Handle_(static_cast<uint32_t>(::getpid())) {
    sockaddr_un address;
    const socklen_t length = SocketAddress(SocketName(BlockName, Handle_), address);
    const int fd = NewSocket();
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0) {
        const int code = errno;
        Impl->ListenError = code == EADDRINUSE ? QStringLiteral("its address is taken by another program")
                                               : QString::fromLocal8Bit(strerror(code));
        if (fd >= 0) ::close(fd);
        return;
    }
    Impl->Listener = fd;
    Impl->Accepting = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(Impl->Accepting.get(), &QSocketNotifier::activated, this, [this] {
        for (int peer; (peer = ::accept4(Impl->Listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
            if (!PeerIs(peer, ::geteuid())) {  // only this user may ask the copy anything
                ::close(peer);
                continue;
            }
            auto& p = Impl->Peers.emplace_back();
            p.Fd = peer;
            p.Reading = std::make_unique<QSocketNotifier>(peer, QSocketNotifier::Read);
            const auto at = std::prev(Impl->Peers.end());
            QObject::connect(p.Reading.get(), &QSocketNotifier::activated, this, [this, at] { Impl->Serve(*this, at); });
        }
    });
}

// The request is one short line; it is answered once all of it is there.
void TAppWindowEndpoint::TImpl::Serve(TAppWindowEndpoint& Owner, std::list<TPeer>::iterator Peer) {
    Serving = Peer->Reading.get();
    const std::shared_ptr<bool> alive = Alive;
    const auto served = qScopeGuard([&] {
        if (*alive) Serving = nullptr;
    });
    char buffer[MaxRequest + 1];
    const ssize_t n = ::recv(Peer->Fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) Peer->Request.append(buffer, n);
    if (n > 0 && !Peer->Request.contains('\n') && Peer->Request.size() <= MaxRequest) return;
    if (Peer->Request != ActivateRequest) {  // not one of ours, or gone before asking
        Drop(Peer);
        return;
    }
    Peer->Reading->setEnabled(false);
    if (Owner.OnActivationRequested) Owner.OnActivationRequested();
    if (!*alive) return;  // the handler tore the endpoint down
    ::send(Peer->Fd, ActivateAnswer, sizeof ActivateAnswer - 1, MSG_NOSIGNAL);
    Drop(Peer);
}

TAppWindowEndpoint::~TAppWindowEndpoint() = default;

bool TAppWindowEndpoint::Listening() const { return Impl->Listener >= 0; }

const QString& TAppWindowEndpoint::ListenError() const { return Impl->ListenError; }

QByteArray EndpointAddress(const QString& BlockName, uint32_t Handle) {
    return QByteArray::fromStdString(SocketName(BlockName, Handle));
}

TOwnerReply RequestActivation(const QString& BlockName, uint32_t Handle, int TimeoutMs) {
    if (Handle == 0) return TOwnerReply::Gone;
    const QDeadlineTimer deadline(TimeoutMs);
    sockaddr_un address;
    const socklen_t length = SocketAddress(SocketName(BlockName, Handle), address);

    // This runs before the program's event loop, hence the waiting. Nobody listening at the
    // address, or a listener that is not this user's copy Handle: the copy is gone. A full
    // backlog means a copy that lives.
    const auto connectOnce = [&](int Fd) {
        while (::connect(Fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN || deadline.hasExpired()) return errno == EAGAIN ? TOwnerReply::Busy : TOwnerReply::Gone;
            ::usleep(10000);
        }
        return PeerIs(Fd, ::geteuid(), static_cast<pid_t>(Handle)) ? TOwnerReply::Answered : TOwnerReply::Gone;
    };
    const int fd = NewSocket();
    if (fd < 0) return TOwnerReply::Busy;
    const auto done = [fd](TOwnerReply Reply) {
        ::close(fd);
        return Reply;
    };
    if (const TOwnerReply connected = connectOnce(fd); connected != TOwnerReply::Answered) return done(connected);
    for (qsizetype sent = 0; sent < qsizetype(sizeof ActivateRequest - 1);) {
        const ssize_t n = ::send(fd, ActivateRequest + sent, sizeof ActivateRequest - 1 - sent, MSG_NOSIGNAL);
        if (n > 0) sent += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        else if (!WaitFor(fd, POLLOUT, deadline)) return done(TOwnerReply::Busy);
    }
    QByteArray reply;
    for (;;) {
        char buffer[MaxRequest];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            reply.append(buffer, n);
            if (reply.contains('\n') || reply.size() > MaxRequest) break;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        } else if (!WaitFor(fd, POLLIN, deadline)) {
            return done(TOwnerReply::Busy);  // connected, but no answer in time
        }
    }
    if (reply == ActivateAnswer) return done(TOwnerReply::Answered);
    // The connection ended without an answer: the copy ended meanwhile, or it still listens
    // and turned this request away.
    ::close(fd);
    const int again = NewSocket();
    if (again < 0) return TOwnerReply::Busy;
    const bool listening = ::connect(again, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
                           errno == EAGAIN;
    ::close(again);
    return listening ? TOwnerReply::Busy : TOwnerReply::Gone;
}

QString InstanceNameOverride() { return qEnvironmentVariable("KORVELCHAT_INSTANCE_NAME"); }

QString ConfigDirOverride() { return qEnvironmentVariable("KORVELCHAT_CONFIG_DIR"); }
