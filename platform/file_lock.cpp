#include "file_lock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ErrnoText(int Code) { return QString::fromLocal8Bit(strerror(Code)); }

enum class TLockWait { Wait, DontWait };

// The descriptor, locked; -1 with Error set, or -2 when the lock was only tried and is held.
int LockedOpen(const QString& Path, int Flags, TLockWait Wait, QString* Error) {
    const QByteArray name = QFile::encodeName(Path);
    const int fd = ::open(name.constData(), Flags | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *Error = ErrnoText(errno);
        return -1;
    }
    while (::flock(fd, LOCK_EX | (Wait == TLockWait::DontWait ? LOCK_NB : 0)) != 0) {
        if (errno == EINTR) continue;
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK) return -2;
        *Error = ErrnoText(code);
        return -1;
    }
    return fd;
}

bool WriteAll(int Fd, const char* Data, std::size_t Size) {
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        Data += n;
        Size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TFileLock::TFileLock(const QString& LockPath) { Fd_ = LockedOpen(LockPath, O_RDWR, TLockWait::Wait, &Error_); }

TFileLock::~TFileLock() {
    if (Fd_ >= 0) ::close(Fd_);  // closing releases the lock
}

TAppendResult AppendLines(const QString& Path, const QByteArray& Bytes, QString* Error) {
    // The file's own lock keeps two copies of the program from interleaving their lines; it is
    // only tried, since the caller's thread must never wait on another process.
    const int fd = LockedOpen(Path, O_RDWR, TLockWait::DontWait, Error);
    if (fd == -2) return TAppendResult::Busy;
    if (fd < 0) return TAppendResult::Failed;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *Error = ErrnoText(errno);
        ::close(fd);
        return TAppendResult::Failed;
    }
    const off_t size = st.st_size;
    QByteArray text = Bytes;
    char last = '\n';
    if (size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n') text.prepend('\n');
    bool ok = ::lseek(fd, size, SEEK_SET) == size && WriteAll(fd, text.constData(), static_cast<std::size_t>(text.size()));
    if (!ok) {
        const int code = errno;
        // What went in of a failed write is taken out again; the file ends where it did.
        const bool cutBack = ::ftruncate(fd, size) == 0;
        *Error = ErrnoText(code);
        if (!cutBack) *Error += QStringLiteral("; the file may end in part of a line");
    }
    ::close(fd);
    return ok ? TAppendResult::Written : TAppendResult::Failed;
}
