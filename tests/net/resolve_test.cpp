// Host, port and protocol texts to numbers, and the asynchronous host look-ups.
#include "line_wsocket.h"
#include "raised_text.h"
#include "wsocket_resolve.h"

#include "event_loop.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

TEST(ResolveTextTest, LeadingNumberAndDottedAddresses) {
    const std::pair<const char*, int> numbers[] = {
        {"23", 23}, {"  42abc", 42}, {"7 8", 7}, {"", 0}, {"abc", 0}, {"-5", 0},
    };
    for (const auto& [text, value] : numbers) EXPECT_EQ(LeadingNumber(text), value) << text;

    const std::pair<const char*, bool> dotted[] = {
        {"10.0.0.1", true}, {" 10.0.0.1 ", true}, {"255.255.255.255", true},
        {"10.0.0", false}, {"1.2.3.4.5", false}, {"256.1.1.1", false}, {"1.2.3.256", false},
        {"1.2.3.4 5", false}, {".1.2.3", false}, {"1.2.3.", false}, {"1..2.3", false},
        {"1.2.3.4x", false}, {"localhost", false}, {"", false},
        {"4294967297.1.1.1", false},  // a group that would wrap round to 1
    };
    for (const auto& [text, isDotted] : dotted)
        EXPECT_EQ(IsDottedAddress(text), isDotted) << '"' << text << '"';
}

// The resolvers need the library started; a socket object holds it for the test.
class ResolveTest : public ::testing::Test {
protected:
    void SetUp() override { Holder.DnsLookup("127.0.0.1"); }
    TWSocket Holder;
};

TEST_F(ResolveTest, Hosts) {
    const uint32_t loopback = winsock::inet_addr("127.0.0.1");
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), loopback);
    EXPECT_EQ(WSocketResolveHost("localhost"), loopback);
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu) << "broadcast, not a failure";
    // Dotted in shape but refused by the conversion (a leading 0 makes the group octal).
    EXPECT_EQ(RaisedText([] { WSocketResolveHost("1.2.3.08"); }),
              "WSocketResolveHost: '1.2.3.08' Invalid IP address.");

    const std::string tooLong(257, 'a');
    EXPECT_EQ(RaisedText([&] { WSocketResolveHost(tooLong); }),
              "WSocketResolveHost: '" + tooLong + "' Invalid Hostname.");
    EXPECT_EQ(RaisedText([] { WSocketResolveHost(""); }),
              "WSocketResolveHost: '' Invalid Hostname.");
    const std::string unknown = RaisedText([] { WSocketResolveHost(" no-such-host.invalid "); });
    EXPECT_TRUE(std::regex_match(unknown, std::regex("WSocketResolveHost: Cannot convert host "
                                                     "address ' no-such-host\\.invalid ', "
                                                     "Error #1100[1-4]")))
        << unknown;
}

TEST_F(ResolveTest, Ports) {
    EXPECT_EQ(WSocketResolvePort("23", "tcp"), 23);
    EXPECT_EQ(WSocketResolvePort("23abc", "tcp"), 23);
    EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 70000 - 65536) << "only the low 16 bits";
    EXPECT_EQ(WSocketResolvePort(" telnet ", " tcp "), 23);
    EXPECT_EQ(WSocketResolvePort("domain", "udp"), 53);

    EXPECT_EQ(RaisedText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("23", ""); }),
              "WSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(RaisedText([] { WSocketResolvePort("telnet", "udp"); }),
              "WSocketResolvePort: Cannot convert port 'telnet', Error #11004")
        << "a service is looked up for the protocol given";
}

TEST_F(ResolveTest, Protocols) {
    const std::pair<const char*, int> rows[] = {
        {"tcp", 6}, {"TCP", 6}, {" tcp ", 6}, {"6", 6}, {"17abc", 17}, {"Udp", 17}, {"raw", 255},
        {"icmp", 1},
    };
    for (const auto& [text, protocol] : rows)
        EXPECT_EQ(WSocketResolveProto(text), protocol) << text;
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(""); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(std::string(32, 'x')); }),
              "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(RaisedText([] { WSocketResolveProto(" NoSuch "); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuch', Error #11004");
}

// --- Asynchronous look-ups ---------------------------------------------------------------------

class LookupSocket : public TWSocket {
public:
    LookupSocket() {
        OnDnsLookupDone = [this](QObject*, uint16_t Error) { Done.push_back(Error); };
    }
    bool AwaitDone() { return RunUntil([this] { return !Done.empty(); }); }
    using TWSocket::LookupHandle;
    using TWSocket::LookupReplyEarly;
    std::vector<int> Done;
};

TEST(DnsLookupTest, DottedAddressesAnswerAtOnceAndNamesLater) {
    LookupSocket s;
    s.DnsLookup("10.000.0.1");
    EXPECT_EQ(s.Done, std::vector<int>{0}) << "before DnsLookup returned";
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"10.0.0.1"});

    s.Done.clear();
    s.DnsLookup("localhost");
    EXPECT_TRUE(s.Done.empty());
    ASSERT_TRUE(s.AwaitDone());
    EXPECT_EQ(s.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList().at(0), "127.0.0.1");

    s.Done.clear();
    s.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(s.AwaitDone());
    EXPECT_GE(s.Done.at(0), 11001);
    EXPECT_LE(s.Done.at(0), 11004);
    EXPECT_EQ(s.DnsResult(), "");
    EXPECT_TRUE(s.DnsResultList().empty());

    s.Done.clear();
    s.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(s.Done.empty());
    ASSERT_TRUE(s.AwaitDone());
    EXPECT_EQ(s.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"localhost"});
}

// The platform's resolver answers through the message loop, so its reply never comes in while
// the request call is still running. This socket stands for a resolver that does answer that
// fast: once the request is made it runs the loop until the real reply has reached the window
// (which, with no request handle known yet, puts it aside), and only then returns the handle.
class FastResolverSocket : public LookupSocket {
protected:
    winsock::HANDLE StartHostByName(const std::string& HostName) override {
        const winsock::HANDLE request = LookupSocket::StartHostByName(HostName);
        RepliedEarly = RunUntil([this] { return LookupReplyEarly; });
        DoneBeforeReturn = Done.size();
        return request;
    }

public:
    bool RepliedEarly = false;
    std::size_t DoneBeforeReturn = 0;
};

TEST(DnsLookupTest, AReplyBeforeTheRequestHandleIsKnownIsHandledAsTheRequestReturns) {
    FastResolverSocket s;
    s.DnsLookup("localhost");
    ASSERT_TRUE(s.RepliedEarly);
    EXPECT_EQ(s.DoneBeforeReturn, 0u) << "the early reply is only put aside";
    EXPECT_EQ(s.Done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_FALSE(s.LookupReplyEarly);
    EXPECT_EQ(s.LookupHandle, 0u);
}

TEST(DnsLookupTest, CancelledOrReplacedLookupsReportNothingMore) {
    LookupSocket s;
    s.CancelDnsLookup();
    EXPECT_TRUE(s.Done.empty()) << "nothing pending";
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(s.Done, std::vector<int>{10004});

    s.DnsLookup("localhost");
    s.DnsLookup("10.1.2.3");  // replaces the pending one without reporting it
    int destroyedReports = 0;
    {
        TWSocket gone;
        gone.OnDnsLookupDone = [&](QObject*, uint16_t) { ++destroyedReports; };
        gone.DnsLookup("localhost");
    }
    RunFor(200);
    EXPECT_EQ(s.Done, (std::vector<int>{10004, 0}));
    EXPECT_EQ(s.DnsResult(), "10.1.2.3");
    EXPECT_EQ(destroyedReports, 0);
}

TEST(DnsLookupTest, EmptyOrOverlongNamesAreRefused) {
    LookupSocket s;
    EXPECT_EQ(RaisedText([&] { s.DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_EQ(RaisedText([&] { s.ReverseDnsLookup(std::string(257, '1')); }),
              "ReverseDnsLookup: Invalid host name.");
    EXPECT_TRUE(s.Done.empty());

    int errors = 0;
    s.OnError = [&](QObject*) { ++errors; };
    s.DnsLookup("");
    s.ReverseDnsLookup("");
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(s.Done, (std::vector<int>{10022, 10022})) << "the look-up ends as invalid";
}

}  // namespace
