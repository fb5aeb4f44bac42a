#include "tzonlyone.h"

#include "exception.h"
#include "instance.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstring>

namespace {
// The process-wide block: only the first guard of a process does anything.
std::unique_ptr<TSharedMem> ProcessBlock;
}  // namespace

TSharedMem::TSharedMem(const QString& Name, int Size) : Name_(Name), Size_(Size) {
    int error = 0;
    Block_ = TSharedMemBlock::Open(Name, Size, error);
    if (!Block_)
        throw Exception(QStringLiteral("Error creating shared memory %1 (%2)")
                            .arg(Name)
                            .arg(error)
                            .toStdString());
}

TSharedMem::~TSharedMem() = default;

void* TSharedMem::Buffer() const { return Block_ ? Block_->Data() : nullptr; }

bool TSharedMem::TakeOwnerLock() { return Block_ && Block_->TakeOwnerLock(); }

QString TTzOnlyOne::ApplicationTitle(const QString& ProgramPath) {
    QString name = QFileInfo(ProgramPath).fileName();
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0) name.truncate(dot);
    if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
    return name;
}

TTzOnlyOne::TTzOnlyOne(QObject* Owner) : QObject(Owner) {
    if (ProcessBlock) return;
    QString name = InstanceNameOverride();
    if (name.isEmpty()) name = ApplicationTitle(QCoreApplication::applicationFilePath());
    ProcessBlock = std::make_unique<TSharedMem>(name, 4);
    Owner_ = true;

    if (!ProcessBlock->TakeOwnerLock()) {
        // Another copy runs: it is asked to come forward, or will be once it is free (its
        // endpoint holds the request). Nothing is written. A copy that cannot be reached still
        // runs, so this one ends all the same.
        uint32_t stored = 0;
        std::memcpy(&stored, ProcessBlock->Buffer(), 4);
        AnotherRunning_ = true;
        OwnerUnreachable_ = RequestActivation(name, stored, OwnerWaitMs) == TOwnerReply::Gone;
        return;
    }
    // No copy runs (one that registered has ended or crashed): this copy takes the block.
    Endpoint_ = std::make_unique<TAppWindowEndpoint>(name);
    Endpoint_->OnActivationRequested = [this] {
        if (OnActivationRequested) OnActivationRequested();
    };
    const uint32_t handle = Endpoint_->Handle();
    std::memcpy(ProcessBlock->Buffer(), &handle, 4);
}

QString TTzOnlyOne::EndpointNote() const {
    if (!Endpoint_ || Endpoint_->Listening()) return {};
    return QStringLiteral("Starting the program again cannot bring this window forward (%1); it only ends at once.")
        .arg(Endpoint_->ListenError());
}

TTzOnlyOne::~TTzOnlyOne() {
    Endpoint_.reset();
    if (Owner_) ProcessBlock.reset();
}
