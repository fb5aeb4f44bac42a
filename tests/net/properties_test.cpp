// The socket object's properties and their guards, its state changes and its failure reports.
#include "line_wsocket.h"
#include "raised_text.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

class PropertySocket : public TWSocket {
public:
    using TWSocket::AddrAssigned;
    using TWSocket::ChangeState;
    using TWSocket::Handle;
    using TWSocket::PortAssigned;
    using TWSocket::ReportSocketError;
    using TWSocket::SendFlagsValue;

    bool ConnectTo(uint16_t Port) {
        SetAddr("127.0.0.1");
        SetPort(std::to_string(Port));
        Connect();
        return RunUntil([this] { return State() == wsConnected; });
    }
};

TEST(PropertyTest, TextsAreTrimmedAndBlankMeansUnassigned) {
    PropertySocket s;
    s.SetPort(" 23 ");
    s.SetAddr("  ");
    EXPECT_EQ(s.Port(), "23");
    EXPECT_TRUE(s.PortAssigned);
    EXPECT_FALSE(s.AddrAssigned);
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("  ");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No Protocol Specified");

    s.SetLocalPort(" 0 ");
    EXPECT_EQ(s.LocalPort(), " 0 ") << "kept as given";
    s.SetLocalAddr("127.0.0.1");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
}

TEST(PropertyTest, AddressesCannotChangeUnlessClosed) {
    PosixListener listener;
    PropertySocket s;
    ASSERT_TRUE(s.ConnectTo(listener.Port()));
    const std::string port = s.Port();
    EXPECT_NO_THROW(s.SetPort(port)) << "the same text is no change";
    EXPECT_NO_THROW(s.SetAddr("127.0.0.1"));
    EXPECT_NO_THROW(s.SetProto("tcp"));

    struct Row { const char* Name; std::function<void()> Set; const char* Text; };
    const Row rows[] = {
        {"Port", [&] { s.SetPort("1"); }, "Cannot change Port if not closed"},
        {"Port, equal once trimmed", [&] { s.SetPort(" " + port); },
         "Cannot change Port if not closed"},
        {"Addr", [&] { s.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
        {"Proto", [&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
        {"LocalPort, even unchanged", [&] { s.SetLocalPort("0"); },
         "Cannot change LocalPort if not closed"},
        {"LocalAddr, even unchanged", [&] { s.SetLocalAddr("0.0.0.0"); },
         "Cannot change LocalAddr if not closed"},
    };
    for (const auto& r : rows) EXPECT_EQ(RaisedText(r.Set), r.Text) << r.Name;

    // With OnError assigned the same refusals raise only OnError.
    int errors = 0;
    s.OnError = [&](QObject* Sender) { errors += Sender == &s; };
    for (const auto& r : rows) EXPECT_NO_THROW(r.Set()) << r.Name;
    EXPECT_EQ(errors, static_cast<int>(std::size(rows)));
    EXPECT_EQ(s.Port() + " " + s.Addr() + " " + s.Proto(), port + " 127.0.0.1 tcp");
    EXPECT_EQ(s.LocalPort() + " " + s.LocalAddr(), "0 0.0.0.0");
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(PropertyTest, SendFlagsMapToTheOutOfBandFlag) {
    PropertySocket s;
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlagsValue, 1u);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    EXPECT_EQ(RaisedText([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(2)); }),
              "Invalid SendFlags");
    EXPECT_EQ(s.SendFlagsValue, 1u);

    s.SendFlagsValue = 4;
    EXPECT_EQ(RaisedText([&] { s.SendFlags(); }), "Invalid internal SendFlags");
    s.OnError = [](QObject*) {};
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
}

TEST(PropertyTest, ChangeStateRaisesOnlyForARealChange) {
    PropertySocket s;
    std::vector<std::string> seen;
    s.OnChangeState = [&](QObject*, TSocketState Old, TSocketState New) {
        seen.push_back(std::to_string(Old) + ">" + std::to_string(New) + " now " +
                       std::to_string(s.State()));
    };
    s.ChangeState(wsClosed);
    s.ChangeState(wsBound);
    s.ChangeState(wsBound);
    s.ChangeState(wsClosed);
    EXPECT_EQ(seen, (std::vector<std::string>{"8>2 now 2", "2>8 now 8"}));
}

TEST(ErrorReportTest, SocketErrorsNameTheCallTheCodeAndItsText) {
    const std::pair<int, const char*> texts[] = {
        {0, "No Error"}, {10061, "Connection refused"}, {11004, "No Data"},
        {10072, "Not a WinSock error"}, {12345, "Not a WinSock error"},
    };
    for (const auto& [code, text] : texts) EXPECT_EQ(WinsockErrorText(code), text) << code;

    PropertySocket s;
    winsock::WSASetLastError(10061);
    EXPECT_EQ(RaisedText([&] { s.ReportSocketError("Connect"); }),
              "Error 10061 in function Connect\r\nConnection refused");
    EXPECT_EQ(s.LastError(), 10061);

    int errors = 0;
    s.OnError = [&](QObject*) { ++errors; };
    winsock::WSASetLastError(10022);
    EXPECT_NO_THROW(s.ReportSocketError("Somewhere"));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10022) << "the only trace of the failure";
}

TEST(ErrorReportTest, ALostConnectionIsClosedWithoutRestoringTheDefaults) {
    PosixListener listener;
    PropertySocket s;
    s.SetLingerOnOff(wsLingerOff);
    ASSERT_TRUE(s.ConnectTo(listener.Port()));
    std::vector<std::string> seen;
    s.OnSessionClosed = [&](QObject*, uint16_t Error) {
        seen.push_back("closed " + std::to_string(Error) + " in " + std::to_string(s.State()));
    };
    s.OnChangeState = [&](QObject*, TSocketState, TSocketState New) {
        seen.push_back("state " + std::to_string(New));
    };
    winsock::WSASetLastError(10057);
    EXPECT_EQ(RaisedText([&] { s.ReportSocketError("Receive"); }),
              "Error 10057 in function Receive\r\nSocket is not connected");
    EXPECT_EQ(seen, (std::vector<std::string>{"closed 10057 in 5", "state 8"}));
    EXPECT_EQ(s.Handle, winsock::INVALID_SOCKET);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOff);
    EXPECT_TRUE(s.PortAssigned);
}

TEST(PropertyTest, ACloseRestoresTheDefaultsAndLeavesAddressesUnassigned) {
    PosixListener listener;
    PropertySocket s;
    s.SetProto("6");
    s.SetLingerOnOff(wsLingerNoSet);
    s.SetLingerTimeout(5);
    s.SetFlushTimeout(10);
    s.SetLocalAddr("127.0.0.1");
    s.SetSendFlags(wsSendUrgent);
    s.SetReuseAddr(true);
    ASSERT_TRUE(s.ConnectTo(listener.Port()));
    const std::string port = s.Port();
    s.Close();
    ASSERT_EQ(s.State(), wsClosed);

    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent) << "not one of the defaults";
    EXPECT_TRUE(s.ReuseAddr());

    EXPECT_EQ(s.Port(), port);
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort(port);
    EXPECT_EQ(RaisedText([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.Connect();
    EXPECT_TRUE(RunUntil([&] { return s.State() == wsConnected; }));
}

}  // namespace
