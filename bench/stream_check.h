#pragma once
// The byte stream every throughput run carries, and the receiver's check of it.
//
// Byte k of the stream is k mod 251. The period is prime, so it never lines up with the 1460-,
// 2048- or 65536-byte calls: a lost, doubled or reordered block shifts the pattern and shows up
// as a mismatch. Every run, TWSocket or raw, pays for the same check.
#include <cstdint>
#include <cstring>
#include <vector>

class TStreamPattern {
public:
    static constexpr int Period = 251;

    // Holds enough bytes that a chunk of up to MaxChunk bytes can start at any stream offset.
    explicit TStreamPattern(int MaxChunk) : Bytes(static_cast<size_t>(MaxChunk + Period)) {
        for (size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = static_cast<char>(i % Period);
    }

    // The bytes of the stream from Offset on (at least MaxChunk of them).
    const char* At(uint64_t Offset) const { return Bytes.data() + Offset % Period; }

private:
    std::vector<char> Bytes;
};

class TStreamChecker {
public:
    explicit TStreamChecker(const TStreamPattern& Pattern) : Pattern(Pattern) {}

    // Takes the next Len received bytes. The first and last byte of every read are checked;
    // every 16th read is compared whole, which keeps the check cheap beside the socket work.
    void Take(const char* Data, int Len) {
        if (Len <= 0) return;
        const char* expected = Pattern.At(Received);
        if (Data[0] != expected[0] || Data[Len - 1] != expected[Len - 1] ||
            ((++Reads & 15) == 0 && std::memcmp(Data, expected, static_cast<size_t>(Len)) != 0))
            Corrupt = true;
        Received += static_cast<uint64_t>(Len);
    }

    uint64_t Received = 0;
    bool Corrupt = false;

private:
    const TStreamPattern& Pattern;
    uint64_t Reads = 0;
};

constexpr int MaxChunk = 64 * 1024;  // the largest single send or read of any run
