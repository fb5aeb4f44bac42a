#pragma once
// An advisory lock that several processes take on one lock file, held from construction to
// destruction: writers that all take it never interleave a read-modify-replace of the file it
// guards. A lock that cannot be taken (a folder that cannot be written) reports why.
#include <QString>

class TFileLock {
public:
    explicit TFileLock(const QString& LockPath);  // waits for the lock
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    bool Held() const { return Fd_ >= 0; }
    const QString& Error() const { return Error_; }

private:
    int Fd_ = -1;
    QString Error_;
};

// Appends Bytes to the file at Path (created when missing) whole or not at all: a write that
// fails part-way (a full disk) is cut off again, so the file never ends in part of it. A file
// whose last line has no line end (torn by a crash) gets one first, so the new lines start on
// their own. The file's lock is only tried: while another process holds it, nothing is written
// and the answer is Busy. Failed comes with the cause ("No space left on device") in Error.
enum class TAppendResult { Written, Busy, Failed };
TAppendResult AppendLines(const QString& Path, const QByteArray& Bytes, QString* Error);
