#include "msgwindow.h"

#include "event_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Received {
    msgwindow::HWND Window;
    msgwindow::UINT Msg;
    msgwindow::WPARAM WParam;
};
std::vector<Received> Log;

msgwindow::LRESULT RecordingProc(msgwindow::HWND w, msgwindow::UINT m, msgwindow::WPARAM wp,
                                 msgwindow::LPARAM) {
    Log.push_back({w, m, wp});
    return 7;
}

class MsgWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log.clear();
        ASSERT_TRUE(msgwindow::RegisterWindowClass("TestClass", RecordingProc));
    }
    void TearDown() override { msgwindow::UnregisterWindowClass("TestClass"); }
};

TEST_F(MsgWindowTest, ClassRegistryRefusesDuplicatesAndClassesInUse) {
    EXPECT_FALSE(msgwindow::RegisterWindowClass("TestClass", RecordingProc));
    EXPECT_EQ(msgwindow::CreateWindow("NoSuchClass"), 0u);
    const auto w = msgwindow::CreateWindow("TestClass");
    ASSERT_NE(w, 0u);
    EXPECT_FALSE(msgwindow::UnregisterWindowClass("TestClass")) << "a window still uses it";
    EXPECT_TRUE(msgwindow::DestroyWindow(w));
    EXPECT_FALSE(msgwindow::DestroyWindow(w));
    EXPECT_TRUE(msgwindow::UnregisterWindowClass("TestClass"));
    EXPECT_FALSE(msgwindow::IsWindowClassRegistered("TestClass"));
}

TEST_F(MsgWindowTest, PostedMessagesArriveInPostingOrderAcrossWindowsAndThreads) {
    const auto a = msgwindow::CreateWindow("TestClass");
    const auto b = msgwindow::CreateWindow("TestClass");
    for (unsigned i = 0; i < 50; ++i) msgwindow::PostMessage(i % 2 ? a : b, 1025, i, 0);
    std::thread other([a] {
        for (unsigned i = 100; i < 150; ++i) msgwindow::PostMessage(a, 1026, i, 0);
    });
    other.join();
    EXPECT_TRUE(RunUntil([] { return Log.size() == 100; }));
    for (unsigned i = 0; i < 50; ++i) {
        EXPECT_EQ(Log[i].WParam, i);
        EXPECT_EQ(Log[i].Window, i % 2 ? a : b);
    }
    for (unsigned i = 50; i < 100; ++i) EXPECT_EQ(Log[i].WParam, i + 50);
    msgwindow::DestroyWindow(a);
    msgwindow::DestroyWindow(b);
}

TEST_F(MsgWindowTest, DestroyingAWindowDropsWhatIsPending) {
    const auto w = msgwindow::CreateWindow("TestClass");
    const auto other = msgwindow::CreateWindow("TestClass");
    msgwindow::PostMessage(w, 1025, 1, 0);
    msgwindow::PostMessage(other, 1025, 2, 0);
    EXPECT_EQ(msgwindow::PendingMessageCount(w), 1);
    msgwindow::DestroyWindow(w);
    EXPECT_FALSE(msgwindow::PostMessage(w, 1025, 3, 0));
    RunFor(50);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].Window, other);
    msgwindow::DestroyWindow(other);
}

// A window procedure that destroys its own window while a second message is queued for it.
msgwindow::LRESULT SelfDestroyingProc(msgwindow::HWND w, msgwindow::UINT m, msgwindow::WPARAM wp,
                                      msgwindow::LPARAM l) {
    RecordingProc(w, m, wp, l);
    msgwindow::DestroyWindow(w);
    return 0;
}

TEST_F(MsgWindowTest, AWindowMayDestroyItselfWhileHandlingAMessage) {
    ASSERT_TRUE(msgwindow::RegisterWindowClass("SelfDestroying", SelfDestroyingProc));
    const auto w = msgwindow::CreateWindow("SelfDestroying");
    msgwindow::PostMessage(w, 1025, 1, 0);
    msgwindow::PostMessage(w, 1025, 2, 0);
    RunFor(50);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_FALSE(msgwindow::IsWindow(w));
    EXPECT_TRUE(msgwindow::UnregisterWindowClass("SelfDestroying"));
}

TEST_F(MsgWindowTest, GateCanDropAMessageAndExtraSlotHoldsAValue) {
    const auto w = msgwindow::CreateWindow("TestClass");
    msgwindow::SetWindowLongPtr(w, 1234);
    EXPECT_EQ(msgwindow::GetWindowLongPtr(w), 1234);
    msgwindow::PostMessage(w, 1025, 1, 0, [](msgwindow::Delivery) { return false; });
    msgwindow::PostMessage(w, 1025, 2, 0, [](msgwindow::Delivery) { return true; });
    EXPECT_TRUE(RunUntil([] { return !Log.empty(); }));
    RunFor(20);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].WParam, 2u);
    EXPECT_EQ(msgwindow::SendMessage(w, 1, 0, 0), 7);
    msgwindow::DestroyWindow(w);
}

}  // namespace
