// End to end: telnet clients against the local chat server, over loopback.
#include "chat_server.h"
#include "tncnx.h"

#include "event_loop.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// A telnet client that keeps every line it receives, in order.
struct Client {
    explicit Client(const std::string& Port) {
        Cnx.SetHost("127.0.0.1");
        Cnx.SetPort(Port);
        Cnx.OnDataAvailable = [this](QObject*, const char* data, int len) {
            Partial.append(data, static_cast<size_t>(len));
            for (size_t end; (end = Partial.find('\n')) != std::string::npos; Partial.erase(0, end + 1))
                Chunks.push_back(Partial.substr(0, end + 1));
        };
        Cnx.Connect();
    }
    bool Saw(const std::string& Text) const {
        for (auto& c : Chunks)
            if (c.find(Text) != std::string::npos) return true;
        return false;
    }
    std::string LastUserList() const {
        for (auto it = Chunks.rbegin(); it != Chunks.rend(); ++it)
            if (!it->empty() && (*it)[0] == '~') return *it;
        return {};
    }
    TTnCnx Cnx;
    std::string Partial;
    std::vector<std::string> Chunks;
};

class ChatE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        Server.OnLog = [](const std::string&) {};
        Server.Start("127.0.0.1", "0");
    }
    TChatServer Server;
};

TEST_F(ChatE2ETest, TwoClientsLogInChatAndOneLogsOut) {
    Client a(Server.BoundPort()), b(Server.BoundPort());
    ASSERT_TRUE(RunUntil([&] { return a.Cnx.State() == wsConnected && b.Cnx.State() == wsConnected; }));

    a.Cnx.SendStr("~SC=AAA-ALICE\r\n");
    ASSERT_TRUE(RunUntil([&] { return a.Saw("*w"); }));
    b.Cnx.SendStr("~SC=BBB-BOB\r\n");
    ASSERT_TRUE(RunUntil([&] {
        return a.LastUserList() == "~AAA-ALICE,BBB-BOB\r\n" && b.LastUserList() == "~AAA-ALICE,BBB-BOB\r\n";
    }));
    for (auto& c : a.Chunks) EXPECT_TRUE(c.rfind("*w", 0) == 0 || c.rfind("~", 0) == 0) << c;

    const std::string line = "&<AAA-ALICE><hello\x02\x01world \xe9>\r\n";
    a.Cnx.SendStr(line);
    ASSERT_TRUE(RunUntil([&] { return a.Saw(line) && b.Saw(line); }));
    EXPECT_EQ(b.Chunks.back(), line) << "relayed byte-exact";

    b.Cnx.SendStr("~Exit=KORVEL\r\n");
    b.Cnx.Close();
    ASSERT_TRUE(RunUntil([&] { return a.LastUserList() == "~AAA-ALICE\r\n"; }));
    EXPECT_EQ(Server.Users(), std::vector<std::string>{"AAA-ALICE"});
}

TEST_F(ChatE2ETest, NoTelnetBytesReachTheOwner) {
    Client a(Server.BoundPort());
    ASSERT_TRUE(RunUntil([&] { return a.Cnx.State() == wsConnected; }));
    a.Cnx.SendStr("~SC=AAA-ALICE\r\n");
    ASSERT_TRUE(RunUntil([&] { return a.Saw("*w"); }));
    for (auto& c : a.Chunks) EXPECT_EQ(c.find('\xff'), std::string::npos) << "no telnet bytes reach the owner";
}

}  // namespace
