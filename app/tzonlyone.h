#pragma once
// The single-instance guard. The first copy of the program stores its application window's
// handle in a 4-byte shared block named after the program; a later copy finds it there, asks
// that copy to come forward and ends. Only a handle whose copy no longer exists (it crashed) is
// taken over; a copy that is busy (a slow host look-up) is waited for and then left alone.
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
    // Runs in the first copy when a later copy asks it to come forward.
    std::function<void()> OnActivationRequested;

    // The application title: the program file's name cut before its first ".", every character
    // after the first in lower case.
    static QString ApplicationTitle(const QString& ProgramPath);

    // How long a later copy waits for a busy first copy's answer before it ends anyway.
    static constexpr int OwnerWaitMs = 10000;

private:
    bool AnotherRunning_ = false;
    bool Owner_ = false;
    std::unique_ptr<TAppWindowEndpoint> Endpoint_;
};
