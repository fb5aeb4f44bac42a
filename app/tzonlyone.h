#pragma once
// The single-instance guard. The first copy of the program holds the owner lock of a 4-byte
// shared block named after the program and stores its application window's handle there; a
// later copy finds the lock held, asks that copy to come forward and ends. A copy that crashed
// holds no lock, so its block is taken over; a copy that is busy (a slow host look-up) is
// waited for and then left alone. The lock alone keeps one copy running: when the first copy's
// endpoint cannot listen, it says so, and later copies still end.
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class TSharedMemBlock;
class TAppWindowEndpoint;

// One named block of shared memory: its name, size and mapping.
class TSharedMem {
public:
    TSharedMem(const QString& Name, int Size);  // raises Exception when it cannot be created
    ~TSharedMem();
    const QString& Name() const { return Name_; }
    int Size() const { return Size_; }
    void* Buffer() const;
    bool TakeOwnerLock();

private:
    QString Name_;
    int Size_;
    std::unique_ptr<TSharedMemBlock> Block_;
};

class TTzOnlyOne : public QObject {
public:
    explicit TTzOnlyOne(QObject* Owner = nullptr);
    ~TTzOnlyOne() override;

    bool AnotherInstanceRunning() const { return AnotherRunning_; }
    // In a later copy: the running copy could not be asked to come forward.
    bool OwnerUnreachable() const { return OwnerUnreachable_; }
    // In the running copy: why later copies cannot bring it forward ("" when they can).
    QString EndpointNote() const;
    // Runs in the first copy when a later copy asks it to come forward.
    std::function<void()> OnActivationRequested;

    // The application title: the program file's name cut before its first ".", every character
    // after the first in lower case.
    static QString ApplicationTitle(const QString& ProgramPath);

    // How long a later copy waits for a busy first copy's answer before it ends anyway.
    static constexpr int OwnerWaitMs = 10000;

private:
    bool AnotherRunning_ = false;
    bool OwnerUnreachable_ = false;
    bool Owner_ = false;
    std::unique_ptr<TAppWindowEndpoint> Endpoint_;
};
