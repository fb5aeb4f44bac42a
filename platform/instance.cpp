#include "instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

struct TAppWindowEndpoint::TImpl {
    QLocalServer Server;
};

TAppWindowEndpoint::TAppWindowEndpoint(const QString& BlockName, QObject* Parent)
    : QObject(Parent), Impl(std::make_unique<TImpl>()), Handle_(static_cast<uint32_t>(::getpid())) {
    const QString name = ServerName(BlockName, Handle_);
    // A copy that crashed with this process id left its socket file behind.
    QLocalServer::removeServer(name);
    Impl->Server.setSocketOptions(QLocalServer::UserAccessOption);
    Impl->Server.listen(name);

    QObject::connect(&Impl->Server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = Impl->Server.nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                // The request is one short line; wait until all of it is there.
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() > MaxRequest) peer->abort();
                    return;
                }
                const QByteArray request = peer->readLine(MaxRequest);
                if (request != ActivateRequest) {
                    peer->abort();
                    return;
                }
                const QPointer<QLocalSocket> alive(peer);
                if (OnActivationRequested) OnActivationRequested();
                if (!alive) return;  // the handler tore the endpoint down
                peer->write(ActivateAnswer);
                peer->disconnectFromServer();  // after the answer has gone out
            });
        }
    });
}

TAppWindowEndpoint::~TAppWindowEndpoint() = default;

bool TAppWindowEndpoint::Listening() const { return Impl->Server.isListening(); }

TOwnerReply RequestActivation(const QString& BlockName, uint32_t Handle, int TimeoutMs) {
    if (Handle == 0) return TOwnerReply::Gone;
    const QDeadlineTimer deadline(TimeoutMs);
    const auto remaining = [&] { return static_cast<int>(deadline.remainingTime()); };

    // This runs before the program's event loop, hence the blocking calls.
    QLocalSocket socket;
    socket.connectToServer(ServerName(BlockName, Handle));
    if (!socket.waitForConnected(remaining())) {
        // No socket file, or one nobody listens on: the copy is gone. A connection that only
        // takes long (a full backlog) means a copy that lives.
        const auto error = socket.error();
        return error == QLocalSocket::ServerNotFoundError ||
                       error == QLocalSocket::ConnectionRefusedError
                   ? TOwnerReply::Gone
                   : TOwnerReply::Busy;
    }
    socket.write(ActivateRequest);
    socket.waitForBytesWritten(remaining());
    QByteArray reply;
    while (!reply.contains('\n') && reply.size() <= MaxRequest &&
           socket.state() == QLocalSocket::ConnectedState) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remaining())) break;
        reply += socket.readAll();
    }
    reply += socket.readAll();
    if (reply == ActivateAnswer) return TOwnerReply::Answered;
    if (socket.state() == QLocalSocket::ConnectedState) return TOwnerReply::Busy;
    // The connection ended without an answer: the copy ended meanwhile, or it still listens
    // and turned this request away.
    QLocalSocket again;
    again.connectToServer(ServerName(BlockName, Handle));
    return again.waitForConnected(std::max(remaining(), 100)) ? TOwnerReply::Busy
                                                                : TOwnerReply::Gone;
}

QString InstanceNameOverride() { return qEnvironmentVariable("KORVELCHAT_INSTANCE_NAME"); }

QString ConfigDirOverride() { return qEnvironmentVariable("KORVELCHAT_CONFIG_DIR"); }
