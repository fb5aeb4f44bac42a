#include "instance.h"

#include "event_loop.h"

#include <QCoreApplication>
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

// Endpoints put their socket files into the temporary folder; each test gets its own.
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
        EXPECT_FALSE(RequestActivation(name, stale, 2000)) << "nobody answers on its handle";
        Word(survivor) = 99;  // taken over
    }
    const auto fresh = OpenBlock(name);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(Word(fresh), 0u) << "closing normally removed the name after all";
}

// RequestActivation blocks, so it runs on a thread of its own while this thread's event loop
// serves the endpoint.
bool RequestFromAnotherThread(const QString& name, uint32_t handle) {
    std::atomic<bool> done = false;
    bool answered = false;
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
    int activations = 0;
    endpoint.OnActivationRequested = [&] { ++activations; };

    EXPECT_TRUE(RequestFromAnotherThread(name, endpoint.Handle()));
    EXPECT_EQ(activations, 1);
    EXPECT_TRUE(RequestFromAnotherThread(name, endpoint.Handle()));
    EXPECT_EQ(activations, 2);

    EXPECT_FALSE(RequestFromAnotherThread(name, endpoint.Handle() + 1)) << "nobody listens there";
    EXPECT_FALSE(RequestFromAnotherThread(UniqueName("elsewhere"), endpoint.Handle()));
    EXPECT_FALSE(RequestActivation(name, 0));
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
    EXPECT_FALSE(RequestActivation(name, handle));
    TAppWindowEndpoint again(name);
    EXPECT_TRUE(again.Listening()) << "the same handle can listen again";
}

}  // namespace
