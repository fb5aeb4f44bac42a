#include "instance.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <unistd.h>

namespace {

// Names of our own per test process, so that tests running side by side never meet.
QString UniqueName(const char* what) {
    return QStringLiteral("korvel-test-%1-%2").arg(what).arg(QCoreApplication::applicationPid());
}

std::unique_ptr<TSharedMemBlock> OpenBlock(const QString& name) {
    int error = -1;
    auto block = TSharedMemBlock::Open(name, 4, error);
    EXPECT_TRUE(block) << "errno " << error;
    EXPECT_EQ(error, 0);
    return block;
}

uint32_t& Word(const std::unique_ptr<TSharedMemBlock>& block) {
    return *static_cast<uint32_t*>(block->Data());
}

TEST(SharedMemTest, BlocksUnderOneNameShareMemoryAndOthersDoNot) {
    const auto a = OpenBlock(UniqueName("shared") + "/with slash");
    const auto b = OpenBlock(UniqueName("shared") + "/with slash");
    const auto other = OpenBlock(UniqueName("shared") + "%2Fwith slash");
    ASSERT_TRUE(a && b && other);
    EXPECT_EQ(a->Size(), 4);
    Word(a) = 0xCAFE;
    EXPECT_EQ(Word(b), 0xCAFEu);
    EXPECT_EQ(Word(other), 0u) << "names that differ only after encoding stay apart";

    int error = 0;
    EXPECT_FALSE(TSharedMemBlock::Open("", 4, error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(TSharedMemBlock::Open(UniqueName("shared"), 0, error));
    EXPECT_EQ(error, EINVAL);
}

// One copy holds the owner lock, until it closes the block or ends, however it ends.
TEST(SharedMemTest, TheOwnerLockIsHeldOnceUntilItsBlockCloses) {
    const QString name = UniqueName("owner");
    EXPECT_EXIT(_exit(OpenBlock(name)->TakeOwnerLock() ? 0 : 1), ::testing::ExitedWithCode(0), "");
    auto first = OpenBlock(name), second = OpenBlock(name);
    EXPECT_TRUE(first->TakeOwnerLock()) << "a crashed owner holds nothing";
    EXPECT_FALSE(second->TakeOwnerLock());
    first.reset();
    EXPECT_TRUE(second->TakeOwnerLock());
}

TEST(SharedMemTest, TheNameLastsExactlyAsLongAsSomeoneHasItOpen) {
    const QString name = UniqueName("lifetime");
    auto first = OpenBlock(name);
    ASSERT_TRUE(first);
    EXPECT_EQ(Word(first), 0u) << "a fresh block is zero-filled";
    Word(first) = 1234;

    auto second = OpenBlock(name);
    first.reset();
    auto third = OpenBlock(name);
    ASSERT_TRUE(second && third);
    EXPECT_EQ(Word(third), 1234u) << "the second user still had it open";

    second.reset();
    third.reset();
    const auto fresh = OpenBlock(name);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(Word(fresh), 0u) << "the last user removed the name";
}

// Each test gets a temporary folder of its own, where an endpoint must leave nothing.
class EndpointTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("TMPDIR", QFile::encodeName(Dir.path()));
    }
    void TearDown() override { qunsetenv("TMPDIR"); }
};

TEST_F(EndpointTest, ABlockLeftByACrashedCopyCanBeTakenOver) {
    const QString name = UniqueName("crashed");
    // The crashed copy: it registers its endpoint in the block and dies without closing either,
    // leaving the name, its handle and its socket file behind.
    EXPECT_EXIT(
        {
            const auto block = OpenBlock(name);
            TAppWindowEndpoint endpoint(name);
            Word(block) = endpoint.Listening() ? endpoint.Handle() : 0;
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    {
        const auto survivor = OpenBlock(name);
        ASSERT_TRUE(survivor);
        const uint32_t stale = Word(survivor);
        ASSERT_NE(stale, 0u) << "the crashed copy registered";
        EXPECT_EQ(RequestActivation(name, stale, 2000), TOwnerReply::Gone)
            << "nobody listens on its handle";
        Word(survivor) = 99;  // taken over
    }
    const auto fresh = OpenBlock(name);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(Word(fresh), 0u) << "closing normally removed the name after all";
}

// RequestActivation blocks, so it runs on a thread of its own while this thread's event loop
// serves the endpoint.
TOwnerReply RequestFromAnotherThread(const QString& name, uint32_t handle) {
    std::atomic<bool> done = false;
    TOwnerReply answered{};
    std::unique_ptr<QThread> thread(QThread::create([&] {
        answered = RequestActivation(name, handle, 10000);
        done = true;
    }));
    thread->start();
    EXPECT_TRUE(RunUntil([&] { return done.load(); }, 20000));
    thread->wait();
    return answered;
}

TEST_F(EndpointTest, ARequestReachesTheEndpointThatOwnsTheHandle) {
    const QString name = UniqueName("endpoint");
    TAppWindowEndpoint endpoint(name);
    ASSERT_TRUE(endpoint.Listening());
    EXPECT_EQ(endpoint.Handle(), static_cast<uint32_t>(QCoreApplication::applicationPid()));
    EXPECT_TRUE(QDir(Dir.path()).entryList(QDir::System | QDir::Hidden | QDir::Files).isEmpty())
        << "no file in a folder others share";
    int activations = 0;
    endpoint.OnActivationRequested = [&] { ++activations; };

    EXPECT_EQ(RequestFromAnotherThread(name, endpoint.Handle()), TOwnerReply::Answered);
    EXPECT_EQ(activations, 1);
    EXPECT_EQ(RequestFromAnotherThread(name, endpoint.Handle()), TOwnerReply::Answered);
    EXPECT_EQ(activations, 2);

    EXPECT_EQ(RequestFromAnotherThread(name, endpoint.Handle() + 1), TOwnerReply::Gone)
        << "nobody listens there";
    EXPECT_EQ(RequestFromAnotherThread(UniqueName("elsewhere"), endpoint.Handle()),
              TOwnerReply::Gone);
    EXPECT_EQ(RequestActivation(name, 0, 1000), TOwnerReply::Gone);
    EXPECT_EQ(activations, 2);
}

TEST_F(EndpointTest, AnEndpointThatIsGoneLeavesAStaleHandle) {
    const QString name = UniqueName("gone");
    uint32_t handle = 0;
    {
        TAppWindowEndpoint endpoint(name);
        ASSERT_TRUE(endpoint.Listening());
        handle = endpoint.Handle();
    }
    EXPECT_EQ(RequestActivation(name, handle, 1000), TOwnerReply::Gone);
    TAppWindowEndpoint again(name);
    EXPECT_TRUE(again.Listening()) << "the same handle can listen again";
}

// The endpoint listens whatever the temporary folder is (a path of 103 bytes once left no room
// for its address), and only a listener of this user whose process is the handle is asked:
// another program at the address is nobody.
TEST_F(EndpointTest, OnlyTheCopyOfTheHandleIsAskedWhateverTheTemporaryFolder) {
    const QString deep = Dir.path() + '/' + QString(std::max<qsizetype>(1, 102 - Dir.path().size()), 'd');
    ASSERT_TRUE(QDir().mkpath(deep));
    qputenv("TMPDIR", QFile::encodeName(deep));
    const QString name = UniqueName("taken");
    TAppWindowEndpoint endpoint(name);
    EXPECT_TRUE(endpoint.Listening()) << endpoint.ListenError().toStdString();
    EXPECT_EQ(RequestFromAnotherThread(name, endpoint.Handle()), TOwnerReply::Answered);
    const int stranger = peer::BindLocal(EndpointAddress(name, 1).toStdString(), true);  // not process 1
    ASSERT_GE(stranger, 0);
    EXPECT_EQ(RequestActivation(name, 1, 2000), TOwnerReply::Gone);
    peer::Close(stranger);
}

// A first copy that is busy (its event loop blocked, say in a slow host look-up) still lives:
// a later copy waits for it and never takes it for a stale one; only one that ends is gone.
TEST_F(EndpointTest, ABusyCopyIsWaitedForAndOnlyAnEndedOneIsGone) {
    enum class TThen { Answer, End, StayBusy };
    struct Row {
        const char* Name;
        int BusyMs;  // how long the first copy's event loop does not run
        TThen Then;
        int WaitMs;
        TOwnerReply Reply;
        int Activations;  // in the end: a request left behind is served once the copy is free
    };
    const Row rows[] = {
        {"answers at once", 0, TThen::Answer, 10000, TOwnerReply::Answered, 1},
        {"answers after more than a second", 1500, TThen::Answer, 10000, TOwnerReply::Answered, 1},
        {"busy for the whole wait", 0, TThen::StayBusy, 500, TOwnerReply::Busy, 1},
        {"ends while asked", 300, TThen::End, 10000, TOwnerReply::Gone, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        const QString name = UniqueName("busy") + QString::number(row.BusyMs + row.WaitMs);
        auto endpoint = std::make_unique<TAppWindowEndpoint>(name);
        ASSERT_TRUE(endpoint->Listening());
        int activations = 0;
        endpoint->OnActivationRequested = [&] { ++activations; };
        const uint32_t handle = endpoint->Handle();
        std::atomic<bool> done = false;
        TOwnerReply reply{};
        std::unique_ptr<QThread> thread(QThread::create([&] {
            reply = RequestActivation(name, handle, row.WaitMs);
            done = true;
        }));
        thread->start();
        QThread::msleep(static_cast<unsigned long>(row.BusyMs));  // the copy is busy
        if (row.Then == TThen::End) endpoint.reset();
        if (row.Then == TThen::StayBusy) thread->wait();
        EXPECT_TRUE(RunUntil([&] { return done.load(); }, 20000));
        thread->wait();
        EXPECT_EQ(reply, row.Reply);
        RunUntil([&] { return activations >= row.Activations; }, 5000);
        EXPECT_EQ(activations, row.Activations);
    }
}

}  // namespace
