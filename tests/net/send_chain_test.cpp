// The send chain: how queued bytes are cut into blocks and drained into the transport.
#include "socket_exception.h"
#include "socket_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

namespace {

// The transport is replaced by a scripted one that takes a chosen number of bytes per call;
// only partial acceptance needs it, since a real socket cannot be told to take exactly 1000.
// It also works out the OnSendData reports that one send per block would have raised.
class ScriptedTransportSocket : public RecordingSocket {
public:
    // OnSendData: none, one that records, or one that also throws at every third report (to an
    // OnBgException that keeps the connection).
    enum class THandler { None, Records, Throws };
    explicit ScriptedTransportSocket(THandler Handler = THandler::Records) {
        if (Handler == THandler::None) return;
        OnSendData = [this, Handler](QObject*, int Count) {
            Reported.push_back(Count);
            if (Handler == THandler::Throws && Reported.size() % 3 == 0) throw Exception("report");
        };
        OnBgException = [this](QObject*, const std::exception&, bool& CanClose) {
            ++Thrown;
            CanClose = false;
        };
    }
    std::deque<int> Accepts;  // bytes taken by each successive call; empty: everything
    std::string Transmitted;
    std::vector<int> CallSizes;
    std::vector<int> Reported, PerBlock;  // OnSendData as raised, and per block sent
    size_t Thrown = 0;

protected:
    int RawTransmit(const void* Data, int Len) override {
        const winsock::WSABUF piece{static_cast<winsock::u_long>(Len), static_cast<char*>(const_cast<void*>(Data))};
        return RawSendBlocks(&piece, 1);
    }
    int RawSendBlocks(const winsock::WSABUF* Pieces, int Count) override {
        int len = 0;
        for (int i = 0; i < Count; ++i) len += static_cast<int>(Pieces[i].len);
        CallSizes.push_back(len);
        int take = len;
        if (!Accepts.empty()) {
            take = std::min(len, Accepts.front());
            Accepts.pop_front();
        }
        for (int i = 0, left = take; left > 0; left -= static_cast<int>(Pieces[i++].len)) {
            const int n = std::min(left, static_cast<int>(Pieces[i].len));
            Transmitted.append(Pieces[i].buf, static_cast<size_t>(n));
            PerBlock.push_back(n);
        }
        return take;
    }
};

std::vector<int> blockFill(const RecordingSocket& s) {
    std::vector<int> fill;
    for (auto& b : s.SendChain) fill.push_back(b->WritePos - b->ReadPos);
    return fill;
}

TEST(SendChainTest, QueuedBytesFillBlocksOf1460InOrder) {
    RecordingSocket s;
    EXPECT_EQ(s.BlockSize, 1460);
    s.QueueSendData(nullptr, 10);
    s.QueueSendData("x", 0);
    EXPECT_TRUE(s.SendChain.empty());
    EXPECT_TRUE(s.AllSent);

    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    s.QueueSendData(data.data(), 3000);
    EXPECT_EQ(blockFill(s), (std::vector<int>{1460, 1460, 80}));
    EXPECT_FALSE(s.AllSent);
    std::string joined;
    for (auto& b : s.SendChain) joined.append(b->Storage + b->ReadPos, b->WritePos - b->ReadPos);
    EXPECT_EQ(joined, data);

    RecordingSocket exact;
    exact.QueueSendData(data.data(), 1460);
    EXPECT_EQ(blockFill(exact), (std::vector<int>{1460}));

    RecordingSocket tail;
    tail.QueueSendData(data.data(), 1400);
    tail.QueueSendData(data.data(), 100);
    EXPECT_EQ(blockFill(tail), (std::vector<int>{1460, 40}));
}

TEST(SendChainTest, DrainingWithoutAHandleChangesNothing) {
    RecordingSocket s;
    s.TryToSend();
    EXPECT_TRUE(s.AllSent);
    s.QueueSendData("abc", 3);
    s.TryToSend();
    EXPECT_FALSE(s.AllSent);
    EXPECT_EQ(blockFill(s), (std::vector<int>{3}));
}

TEST(SendChainTest, PartialAcceptanceEndsThePassAndTheRestGoesFirstNextTime) {
    ScriptedTransportSocket s;
    s.Handle = 12345;  // any handle: the scripted transport never uses it
    std::string data(3000, 'a');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    s.QueueSendData(data.data(), 3000);

    s.Accepts = {1000};
    s.TryToSend();
    EXPECT_EQ(s.CallSizes, (std::vector<int>{1460})) << "with OnSendData, one block per call";
    EXPECT_EQ(s.Reported, (std::vector<int>{1000}));
    EXPECT_EQ(s.SendChain.front()->ReadPos, 1000);
    EXPECT_EQ(blockFill(s), (std::vector<int>{460, 1460, 80}));
    EXPECT_FALSE(s.AllSent);

    // Next pass: the 460 first, OnSendData once per block, drained heads freed, the last
    // block kept empty, and AllSent only when that last block is found empty.
    s.TryToSend();
    EXPECT_EQ(s.CallSizes, (std::vector<int>{1460, 460, 1460, 80}));
    EXPECT_EQ(s.Reported, (std::vector<int>{1000, 460, 1460, 80}));
    EXPECT_EQ(s.Transmitted, data);
    ASSERT_EQ(s.SendChain.size(), 1u);
    EXPECT_EQ(s.SendChain.front()->WritePos, 0);
    EXPECT_TRUE(s.AllSent);

    // The kept block takes the next bytes from its start; no new block is allocated.
    TBuffer* kept = s.SendChain.front().get();
    s.QueueSendData("xyz", 3);
    EXPECT_EQ(s.SendChain.front().get(), kept);
    s.Accepts = {0};
    s.TryToSend();
    EXPECT_FALSE(s.AllSent) << "a transport that takes nothing ends the pass";
    s.Handle = winsock::INVALID_SOCKET;
}

// Random block, write and drain sizes: the chain keeps every byte in order, no block but the
// last is ever empty after a drain, only the tail is ever written to, and OnSendData comes once
// per block sent (or part of one), also around a handler that throws. Without a handler, one
// call takes several blocks.
TEST(SendChainTest, ManyBlockWriteAndDrainSizesKeepStructureAndOrder) {
    std::mt19937 rng(11);
    using THandler = ScriptedTransportSocket::THandler;
    for (const THandler handler : {THandler::None, THandler::Records, THandler::Throws})
    for (int blockSize : {1, 3, 64, 1460}) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(handler) << "/" << blockSize);
        ScriptedTransportSocket s(handler);
        s.Handle = 1;
        s.BlockSize = blockSize;
        std::string queued;
        for (int step = 0; step < 400; ++step) {
            if (rng() % 3 != 0) {
                std::string data(rng() % (3 * blockSize + 2), '\0');
                for (char& c : data) c = static_cast<char>(rng());
                s.QueueSendData(data.data(), static_cast<int>(data.size()));
                queued += data;
            } else {
                for (int i = 0; i < 4; ++i) s.Accepts.push_back(static_cast<int>(rng() % (2 * blockSize + 1)));
                s.TryToSend();
                s.Accepts.clear();
                if (s.SendChain.size() > 1) {
                    ASSERT_GT(s.SendChain.front()->WritePos, 0) << "drained heads are freed";
                }
            }
            ASSERT_EQ(s.Reported, handler == THandler::None ? std::vector<int>{} : s.PerBlock);
            ASSERT_EQ(s.Thrown, handler == THandler::Throws ? s.Reported.size() / 3 : 0);
            for (size_t i = 0; i + 1 < s.SendChain.size(); ++i)
                ASSERT_EQ(s.SendChain[i]->WritePos, blockSize) << "only the tail has room";
            std::string pending;
            for (auto& b : s.SendChain) pending.append(b->Storage + b->ReadPos, b->WritePos - b->ReadPos);
            ASSERT_EQ(s.Transmitted + pending, queued);
            if (s.AllSent) {
                ASSERT_TRUE(pending.empty());
            }
        }
        s.TryToSend();
        EXPECT_EQ(s.Transmitted, queued);
        EXPECT_TRUE(s.AllSent);
        EXPECT_EQ(s.SendChain.size(), 1u);
        EXPECT_TRUE(handler != THandler::None ||
                    *std::max_element(s.CallSizes.begin(), s.CallSizes.end()) > blockSize);
        s.Handle = winsock::INVALID_SOCKET;
    }
}

}  // namespace
