#include "buffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>

namespace {

std::string unread(const TBuffer& b) {
    int32_t len;
    const char* p = b.Peek(len);
    return p ? std::string(p, static_cast<size_t>(len)) : std::string();
}

TEST(TBufferTest, SizeOfZeroOrLessMeans1514) {
    EXPECT_EQ(TBuffer(0).Size, 1514);
    EXPECT_EQ(TBuffer(-5).Size, 1514);
    TBuffer b(1460);
    EXPECT_EQ(b.Size, 1460);
    EXPECT_EQ(b.WritePos, 0);
    EXPECT_EQ(b.ReadPos, 0);
}

TEST(TBufferTest, WriteTakesWhatFitsAndAFullBlockTakesNothing) {
    TBuffer b(8);
    EXPECT_EQ(b.Write("abcde", 5), 5);
    EXPECT_EQ(b.Write("fghij", 5), 3);
    EXPECT_EQ(b.Write("k", 1), 0);
    EXPECT_EQ(unread(b), "abcdefgh");
}

TEST(TBufferTest, ConsumedToItsEndTheBlockIsEmptyAndWholeAgain) {
    TBuffer b(8);
    b.Write("abcdef", 6);
    EXPECT_EQ(b.Remove(2), 2);
    EXPECT_EQ(b.ReadPos, 2);
    EXPECT_EQ(unread(b), "cdef");
    // Free room before the read position is not refilled.
    EXPECT_EQ(b.Write("xyz", 3), 2);
    EXPECT_EQ(b.Remove(100), 6) << "only the unread bytes are consumed";
    EXPECT_EQ(b.ReadPos, 0);
    EXPECT_EQ(b.WritePos, 0);
    int32_t len = -1;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(b.Write("12345678", 8), 8);
}

TEST(TBufferTest, GrowingKeepsTheWrittenBytesAndPositions) {
    TBuffer b(4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetSize(10);
    EXPECT_EQ(b.Size, 10);
    EXPECT_EQ(b.ReadPos, 1);
    EXPECT_EQ(unread(b), "bcd");
    EXPECT_EQ(b.Write("efghijk", 7), 6);
    EXPECT_EQ(unread(b), "bcdefghij");
}

// Random writes and reads against a plain byte queue: the block never loses, reorders or
// invents a byte, and its positions keep their invariant after every step.
TEST(TBufferTest, ManyWriteAndReadSizesKeepBytesAndInvariants) {
    std::mt19937 rng(7);
    for (int size : {1, 2, 7, 64, 1460}) {
        TBuffer b(size);
        std::deque<char> model;
        char next = 0;
        for (int step = 0; step < 2000; ++step) {
            if (rng() % 2) {
                std::string data(rng() % (size + 3), '\0');
                for (char& c : data) c = next++;
                const int32_t n = b.Write(data.data(), static_cast<int32_t>(data.size()));
                ASSERT_EQ(n, std::min<int32_t>(static_cast<int32_t>(data.size()), size - b.WritePos + n));
                model.insert(model.end(), data.begin(), data.begin() + n);
                next = static_cast<char>(next - (data.size() - n));
            } else {
                const int32_t want = static_cast<int32_t>(rng() % (size + 3));
                const std::string before = unread(b);
                const int32_t n = b.Remove(want);
                ASSERT_EQ(n, std::min<int32_t>(want, static_cast<int32_t>(before.size())));
                model.erase(model.begin(), model.begin() + n);
            }
            ASSERT_LE(0, b.ReadPos);
            ASSERT_LE(b.ReadPos, b.WritePos);
            ASSERT_LE(b.WritePos, b.Size);
            if (b.ReadPos == b.WritePos) {
                ASSERT_EQ(b.ReadPos, 0);
            }
            ASSERT_EQ(unread(b), std::string(model.begin(), model.end()));
        }
    }
}

}  // namespace
