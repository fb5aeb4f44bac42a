// The library binding's lifecycle as socket objects come and go.
#include "line_wsocket.h"
#include "socket_exception.h"
#include "winsock_binding.h"

#include "event_loop.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class ProbeSocket : public TWSocket {
public:
    using TWSocket::TWSocket;
    using TWSocket::WindowHandle;
};

TEST(BindingTest, SocketObjectsWithoutNetworkCallsLoadNothing) {
    auto a = std::make_unique<ProbeSocket>();
    EXPECT_EQ(SocketObjectCount(), 1);
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_TRUE(msgwindow::IsWindowClassRegistered("XSocketWindowClass"));
    a.reset();
    EXPECT_EQ(SocketObjectCount(), 0);
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_FALSE(msgwindow::IsWindowClassRegistered("XSocketWindowClass"));
}

TEST(BindingTest, TwoObjectsShareOneBindingReleasedWithTheLast) {
    auto a = std::make_unique<ProbeSocket>();
    auto b = std::make_unique<ProbeSocket>();
    EXPECT_NE(a->WindowHandle, b->WindowHandle);
    a->DnsLookup("127.0.0.1");  // the first network call
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_TRUE(winsock::IsStarted());
    EXPECT_EQ(a->DnsResult(), "127.0.0.1");
    a.reset();
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_TRUE(msgwindow::IsWindowClassRegistered("XSocketWindowClass"));
    b.reset();
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_FALSE(winsock::IsStarted());
    EXPECT_FALSE(msgwindow::IsWindowClassRegistered("XSocketWindowClass"));

    // After a release the next call loads and starts again.
    ProbeSocket c;
    c.DnsLookup("10.1.2.3");
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_TRUE(winsock::IsStarted());
}

TEST(BindingTest, FailedStartUpKeepsTheLibraryWithoutRetrying) {
    {
        ProbeSocket s;
        s.SetReqVerLow(0);  // version 0.1 is not served
        EXPECT_EQ(s.ReqVerLow(), 0);
        try {
            s.DnsLookup("127.0.0.1");
            ADD_FAILURE() << "start-up should fail";
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), "wsock32.dll: WSAStartup error #10092");
        }
        EXPECT_TRUE(WinsockLoaded());
        EXPECT_NO_THROW(s.DnsLookup("127.0.0.1")) << "start-up is not tried again";
        try {
            s.SetReqVerLow(1);
            ADD_FAILURE() << "the version is fixed once the library is loaded";
        } catch (const ESocketException& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.rfind("Error ", 0), 0u) << text;
            EXPECT_NE(text.find(" in function SetReqVerLow: WinSock version can't be changed now\r\n"),
                      std::string::npos)
                << text;
        }
        EXPECT_EQ(s.ReqVerLow(), 0);
    }
    EXPECT_FALSE(WinsockLoaded());
    ProbeSocket t;
    t.SetReqVerLow(1);
    EXPECT_EQ(t.ReqVerLow(), 1);
    t.DnsLookup("127.0.0.1");
    EXPECT_TRUE(winsock::IsStarted());
}

TEST(BindingTest, EntryPointsAreFoundByNameInTheirLibrary) {
    ProbeSocket s;
    try {
        GetWinsockProc("NoSuchCall");
        ADD_FAILURE();
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Procedure NoSuchCall not found in wsock32.dll Error #127");
    }
    EXPECT_EQ(GetWinsockProc(""), nullptr);
    EXPECT_FALSE(Winsock2Loaded());
    EXPECT_NE(GetWinsock2Proc("WSAIoctl"), nullptr);
    EXPECT_TRUE(Winsock2Loaded());
    EXPECT_THROW(GetWinsock2Proc("socket"), ESocketException);
}

TEST(BindingTest, WindowMessagesReachTheirOwnObject) {
    ProbeSocket a, b;
    std::string seenBy;
    a.OnBgException = [&](QObject*, const std::exception& e, bool& CanClose) {
        seenBy = std::string("a: ") + e.what();
        CanClose = false;
    };
    b.OnBgException = [&](QObject*, const std::exception& e, bool& CanClose) {
        seenBy = std::string("b: ") + e.what();
        CanClose = false;
    };
    msgwindow::PostMessage(b.WindowHandle, WM_SOCKET_TEST_EXCEPTION, 0, 0);
    EXPECT_TRUE(RunUntil([&] { return !seenBy.empty(); }));
    EXPECT_EQ(seenBy, "b: Test exception in WSocket");
}

TEST(BindingTest, PendingMessagesOfADestroyedObjectAreDropped) {
    auto a = std::make_unique<ProbeSocket>();
    int exceptions = 0;
    a->OnBgException = [&](QObject*, const std::exception&, bool&) { ++exceptions; };
    const auto window = a->WindowHandle;
    msgwindow::PostMessage(window, WM_SOCKET_TEST_EXCEPTION, 0, 0);
    a.reset();
    RunFor(50);
    EXPECT_EQ(exceptions, 0);
    EXPECT_FALSE(msgwindow::IsWindow(window));
}

}  // namespace
