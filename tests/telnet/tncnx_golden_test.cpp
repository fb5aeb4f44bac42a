// Runs the telnet stream cases of golden/*.txt against the component over a real connection.
#include "tncnx.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 'x':
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
            break;
        default: out += c;
        }
    }
    return out;
}

std::string Escape(const char* data, int len) {
    std::string out;
    char hex[5];
    for (int i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\' || c == '"') out += std::string("\\") + char(c);
        else if (c < 32 || c > 126) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += char(c);
    }
    return out;
}

struct Case {
    std::string Name;
    std::vector<std::string> Setup, Reads, Events;
    std::string Replies;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.Name; }

std::vector<Case> LoadCases(const std::string& path) {
    std::ifstream in(path);
    std::vector<Case> cases;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("### ", 0) == 0) {
            cases.push_back({line.substr(4), {}, {}, {}, {}});
        } else if (cases.empty() || line.size() < 2) {
            continue;
        } else if (line.rfind("! ", 0) == 0) {
            cases.back().Setup.push_back(line.substr(2));
        } else if (line.rfind("> ", 0) == 0) {
            cases.back().Reads.push_back(Unescape(line.substr(2)));
            cases.back().Events.push_back("read");  // marks where each read ends
        } else if (line.rfind("- ", 0) == 0) {
            cases.back().Events.push_back(line.substr(2));
        } else if (line.rfind("< ", 0) == 0) {
            cases.back().Replies += Unescape(line.substr(2));
        }
    }
    return cases;
}

class ProbeCnx : public TTnCnx {
public:
    using TTnCnx::Socket;
};

// Replays one case; returns the transcript in the file's own notation.
std::vector<std::string> Replay(const Case& c, std::string& replies) {
    std::vector<std::string> log;
    PosixListener server;
    ProbeCnx cnx;
    for (const auto& s : c.Setup) {
        if (s == "LocalEcho = true") cnx.SetLocalEcho(true);
        if (s == "on sendloc: Location = HERE")
            cnx.OnSendLoc = [&](QObject*) { cnx.SetLocation("HERE"); };
        if (s == "on termtype: TermType = ANSI")
            cnx.OnTermType = [&](QObject*) { cnx.SetTermType("ANSI"); };
    }
    auto note = [&](const std::string& what) { log.push_back(what); };
    cnx.OnDataAvailable = [&](QObject*, const char* data, int len) {
        EXPECT_EQ(data[len], '\0') << "every chunk has a zero byte behind it";
        note("data \"" + Escape(data, len) + "\"");
    };
    if (!cnx.OnSendLoc) cnx.OnSendLoc = [&](QObject*) { note("sendloc"); };
    else {
        auto change = cnx.OnSendLoc;
        cnx.OnSendLoc = [&, change](QObject* s) { note("sendloc"); change(s); };
    }
    if (!cnx.OnTermType) cnx.OnTermType = [&](QObject*) { note("termtype"); };
    else {
        auto change = cnx.OnTermType;
        cnx.OnTermType = [&, change](QObject* s) { note("termtype"); change(s); };
    }
    cnx.OnEndOfRecord = [&](QObject*) { note("eor"); };
    cnx.OnLocalEcho = [&](QObject*) { note(cnx.LocalEcho() ? "localecho true" : "localecho false"); };
    cnx.OnDisplay = [&](QObject*, std::string s) { note("display \"" + Escape(s.data(), int(s.size())) + "\""); };

    cnx.SetHost("127.0.0.1");
    cnx.SetPort(std::to_string(server.Port()));
    cnx.Connect();
    const int fd = server.Accept();
    EXPECT_TRUE(RunUntil([&] { return cnx.State() == wsConnected; }));
    cnx.Socket()->OnSendData = [&](QObject*, int n) { note("sent " + std::to_string(n)); };

    int expected = 0;
    for (const auto& read : c.Reads) {
        note("read");
        peer::SendAll(fd, read);
        expected += static_cast<int>(read.size());
        EXPECT_TRUE(RunUntil([&] { return cnx.Socket()->ReadCount() >= expected; }));
    }
    replies = peer::RecvExactly(fd, c.Replies.size(), 1000);
    replies += peer::Recv(fd, 20);
    peer::Close(fd);
    return log;
}

class GoldenTest : public ::testing::TestWithParam<Case> {};

TEST_P(GoldenTest, Transcript) {
    const Case& c = GetParam();
    std::string replies;
    const auto log = Replay(c, replies);
    EXPECT_EQ(log, c.Events);
    EXPECT_EQ(Escape(replies.data(), int(replies.size())), Escape(c.Replies.data(), int(c.Replies.size())));
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name;
    for (char ch : info.param.Name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Negotiation, GoldenTest,
                         ::testing::ValuesIn(LoadCases(KORVEL_GOLDEN_DIR "/negotiation.txt")),
                         CaseName);

}  // namespace
