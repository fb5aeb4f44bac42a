#pragma once
// One block of the send chain: a fixed capacity, written at the tail, consumed from the head.
#include <cstdint>

class TBuffer {
public:
    explicit TBuffer(int32_t Size);  // both positions 0, then SetSize(Size)
    virtual ~TBuffer();
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    void SetSize(int32_t NewSize);                // capacity; 0 or less means 1514
    int32_t Write(const void* Data, int32_t Len);  // bytes taken; 0 when full
    const char* Peek(int32_t& Len) const;          // first unread byte and their count; null, 0
    int32_t Remove(int32_t Len);                   // bytes consumed; a drained block resets

    char* Storage = nullptr;
    int32_t Size = 0;
    int32_t WritePos = 0;
    int32_t ReadPos = 0;
};
