// The telnet component around the parser: connection events, end of stream and errors, the
// collect buffer, and a socket that is gone.
#include "tncnx.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

namespace {

class ProbeCnx : public TTnCnx {
public:
    using TTnCnx::DeliverCollected;
    using TTnCnx::Parse;
    using TTnCnx::Socket;
    using TTnCnx::SubnegotiationBytesHeld;

    void Feed(const std::string& bytes) {
        Parse(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
    }
};

class TnCnxTest : public ::testing::Test {
protected:
    void ConnectCnx() {
        Cnx.SetHost("127.0.0.1");
        Cnx.SetPort(std::to_string(Server.Port()));
        Cnx.Connect();
        Fd = Server.Accept();
        ASSERT_GE(Fd, 0);
        ASSERT_TRUE(RunUntil([&] { return Cnx.State() == wsConnected; }));
    }
    void TearDown() override {
        if (Fd >= 0) peer::Close(Fd);
    }

    PosixListener Server;
    ProbeCnx Cnx;
    int Fd = -1;
};

TEST_F(TnCnxTest, ConnectedAndClosedEventsPassTheErrorThrough) {
    std::vector<std::string> log;
    Cnx.OnSessionConnected = [&](QObject* s, uint16_t e) {
        EXPECT_EQ(s, &Cnx);
        log.push_back("connected " + std::to_string(e));
    };
    Cnx.OnSessionClosed = [&](QObject*, uint16_t e) { log.push_back("closed " + std::to_string(e)); };
    Cnx.OnDisplay = [&](QObject*, std::string s) { log.push_back("display " + s); };
    ConnectCnx();
    EXPECT_EQ(Cnx.SendStr("~SC=CALL-NAME\r\n"), 15);
    EXPECT_EQ(peer::RecvExactly(Fd, 15), "~SC=CALL-NAME\r\n");
    peer::Close(Fd);
    Fd = -1;
    ASSERT_TRUE(RunUntil([&] { return Cnx.State() == wsClosed; }));
    RunFor(50);
    EXPECT_EQ(log, (std::vector<std::string>{"connected 0",
                                             "display \r\n**** Remote has closed ****\r\n",
                                             "closed 0"}));

    // A refused connection is reported through the connected event only.
    log.clear();
    Cnx.SetPort(std::to_string(peer::UnusedPort()));
    Cnx.Connect();
    ASSERT_TRUE(RunUntil([&] { return log.size() >= 2; }));
    EXPECT_EQ(log, (std::vector<std::string>{"connected 10061", "closed 0"}));
}

TEST_F(TnCnxTest, AResetConnectionShowsTheErrorText) {
    std::vector<std::string> shown;
    uint16_t closedWith = 0;
    Cnx.OnDisplay = [&](QObject*, std::string s) { shown.push_back(s); };
    Cnx.OnSessionClosed = [&](QObject*, uint16_t e) { closedWith = e; };
    ConnectCnx();
    peer::Reset(Fd);
    Fd = -1;
    ASSERT_TRUE(RunUntil([&] { return Cnx.State() == wsClosed; }));
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), "\r\n**** ERROR: 10054 ****\r\n");
    EXPECT_EQ(closedWith, 10054);
}

TEST_F(TnCnxTest, WithoutADataHandlerDataIsDroppedButNegotiationAnswered) {
    ConnectCnx();
    peer::SendAll(Fd, "dropped\xff\xfb\x01" "more");
    std::string reply;
    EXPECT_TRUE(RunUntil([&] {
        reply += peer::Recv(Fd, 1);
        return reply.size() >= 3;
    }));
    EXPECT_EQ(reply, "\xff\xfd\x01");
    EXPECT_EQ(Cnx.State(), wsConnected);
}

TEST_F(TnCnxTest, CollectedDataIsDeliveredAtOnceWhenTheBufferFills) {
    std::vector<std::string> chunks;
    Cnx.OnDataAvailable = [&](QObject*, const char* data, int len) {
        EXPECT_EQ(data[len], '\0');
        chunks.emplace_back(data, static_cast<size_t>(len));
    };
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    // A doubled IAC straddles the 2049th byte: it still counts as one data byte.
    std::string wire = data.substr(0, 2048) + "\xff\xff" + data.substr(2048);
    Cnx.Feed(wire);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].size(), 2049u);
    Cnx.DeliverCollected();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0] + chunks[1], data.substr(0, 2048) + "\xff" + data.substr(2048));
    Cnx.DeliverCollected();
    EXPECT_EQ(chunks.size(), 2u) << "nothing collected: nothing delivered";
}

TEST_F(TnCnxTest, AnExceptionInTheDataHandlerLeavesTheComponentConsistent) {
    int calls = 0;
    Cnx.OnDataAvailable = [&](QObject*, const char*, int) {
        ++calls;
        throw std::runtime_error("bad chunk");
    };
    Cnx.Feed("abc");
    EXPECT_THROW(Cnx.DeliverCollected(), std::runtime_error);
    Cnx.DeliverCollected();
    EXPECT_EQ(calls, 1) << "the chunk was handed over once and not kept";
}

// The owner's chunk is the collect buffer itself; collecting goes on elsewhere while it is out.
TEST_F(TnCnxTest, AChunkStaysWholeWhileItsHandlerReceivesMoreOrDestroysTheComponent) {
    std::vector<std::string> chunks;
    int depth = 0;
    Cnx.OnDataAvailable = [&](QObject*, const char* data, int len) {
        if (depth++ == 0) {  // reads that arrive while the handler runs the event loop
            Cnx.Feed("second");
            Cnx.DeliverCollected();
            Cnx.Feed("third");
            Cnx.DeliverCollected();
        }
        EXPECT_EQ(data[len], '\0');
        chunks.emplace_back(data, static_cast<size_t>(len));
        --depth;
    };
    for (const char* read : {"first", "fourth", "fifth"}) {
        Cnx.Feed(read);
        Cnx.DeliverCollected();
    }
    EXPECT_EQ(chunks, (std::vector<std::string>{"second", "third", "first", "second", "third",
                                                "fourth", "second", "third", "fifth"}));

    auto* doomed = new ProbeCnx;
    std::string seen;
    doomed->OnDataAvailable = [&seen, doomed](QObject*, const char* data, int len) {
        std::string* out = &seen;
        delete doomed;
        out->assign(data, static_cast<size_t>(len));
    };
    doomed->Feed("last words");
    doomed->DeliverCollected();
    EXPECT_EQ(seen, "last words");
}

// Reads (and a close) that arrive while a data handler runs the event loop, then throws, come after
// its chunk without waiting for more data; so does the rest of a read whose record handler throws.
TEST_F(TnCnxTest, ReadsHeldWhileAHandlerRunsTheEventLoopKeepTheirOrder) {
    struct Row {
        const char* Name;
        bool RecordHandlerThrows, CloseInTheLoop;
        std::vector<std::string> Expected;
    } const rows[] = {{"data handler throws", false, false, {"first", "second", "third"}},
                      {"data handler throws, close held", false, true, {"first", "second", "closed"}},
                      {"record handler throws", true, false, {"first", "second", "third"}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        Cnx.OnSessionClosed = nullptr;  // the last row's connection ends unheard
        if (Fd >= 0) peer::Close(Fd);
        ConnectCnx();
        std::vector<std::string> got;
        Cnx.OnSessionClosed = [&](QObject*, uint16_t) { got.push_back("closed"); };
        Cnx.OnEndOfRecord = [&](QObject*) {
            if (row.RecordHandlerThrows && got.empty()) throw std::runtime_error("record");
        };
        Cnx.OnDataAvailable = [&](QObject*, const char* data, int len) {
            got.emplace_back(data, static_cast<size_t>(len));
            if (got.back() != "first") return;
            const int before = Cnx.Socket()->ReadCount();  // counted again from a close on
            peer::SendAll(Fd, "second");
            if (row.CloseInTheLoop) peer::Close(std::exchange(Fd, -1));
            EXPECT_TRUE(RunUntil([&] { return row.CloseInTheLoop ? Cnx.State() == wsClosed
                                                                 : Cnx.Socket()->ReadCount() == before + 6; }));
            if (!row.RecordHandlerThrows) throw std::runtime_error("data");
        };
        peer::SendAll(Fd, "fi\xff\xefrst");
        ASSERT_TRUE(RunUntil([&] { return got.size() >= 2; })) << "the held read waits";
        if (!row.CloseInTheLoop) peer::SendAll(Fd, "third");
        ASSERT_TRUE(RunUntil([&] { return got.size() == 3; }));
        EXPECT_EQ(got, row.Expected);
    }
}

TEST_F(TnCnxTest, AnEndlessSubnegotiationIsHeldToABoundedSize) {
    std::string got;
    Cnx.OnDataAvailable = [&](QObject*, const char* data, int len) { got.append(data, len); };
    Cnx.Feed("\xff\xfa\x05");
    const std::string junk(1 << 20, 'j');
    Cnx.Feed(junk);
    EXPECT_LE(Cnx.SubnegotiationBytesHeld(), 256u);
    Cnx.Feed("\xff\xf0" "after");
    Cnx.DeliverCollected();
    EXPECT_EQ(got, "after");
    EXPECT_EQ(Cnx.SubnegotiationBytesHeld(), 0u);
}

TEST_F(TnCnxTest, ANewConnectionStartsWithACleanParser) {
    std::string got;
    Cnx.OnDataAvailable = [&](QObject*, const char* data, int len) { got.append(data, len); };
    ConnectCnx();
    peer::SendAll(Fd, "one\xff\xfa\x18");  // ends inside a subnegotiation
    ASSERT_TRUE(RunUntil([&] { return got == "one"; }));
    const int first = Fd;
    Cnx.Connect();  // closes the first connection and opens a second
    EXPECT_TRUE(peer::WaitEof(first));
    peer::Close(first);
    Fd = Server.Accept();
    ASSERT_TRUE(RunUntil([&] { return Cnx.State() == wsConnected; }));
    peer::SendAll(Fd, "\xff\xfa\x18\x01\xff\xf0two");  // nothing of the old one is held
    ASSERT_TRUE(RunUntil([&] { return got == "onetwo"; }));
    EXPECT_EQ(peer::RecvExactly(Fd, 11), std::string("\xff\xfa\x18\x00VT100\xff\xf0", 11));
}

TEST_F(TnCnxTest, WithTheSocketGoneEveryOperationIsHarmless) {
    bool destroyed = false;
    QObject::connect(Cnx.Socket(), &QObject::destroyed, [&] { destroyed = true; });
    delete Cnx.Socket();
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(Cnx.Socket(), nullptr);
    EXPECT_EQ(Cnx.State(), wsInvalidState);
    EXPECT_EQ(Cnx.SendStr("x"), -1);
    EXPECT_EQ(Cnx.Send("x", 1), -1);
    Cnx.Connect();
    Cnx.Close();
}

}  // namespace
