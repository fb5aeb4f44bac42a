#include "buffer.h"

#include <cassert>
#include <cstring>

TBuffer::TBuffer(int32_t Size) { SetSize(Size); }

TBuffer::~TBuffer() { delete[] Storage; }

void TBuffer::SetSize(int32_t NewSize) {
    if (NewSize <= 0) NewSize = 1514;
    if (NewSize == Size) return;
    if (ReadPos == WritePos) {
        delete[] Storage;
        Size = NewSize;
        Storage = new char[NewSize];
        return;
    }
    // Shrinking below the written bytes would lose data; nothing in the system asks for it.
    assert(NewSize >= WritePos && "TBuffer::SetSize below the bytes already written");
    if (NewSize < WritePos) return;
    char* grown = new char[NewSize];
    std::memcpy(grown, Storage, static_cast<size_t>(WritePos));
    delete[] Storage;
    Storage = grown;
    Size = NewSize;
}

int32_t TBuffer::Write(const void* Data, int32_t Len) {
    const int32_t free = Size - WritePos;
    if (free <= 0 || Len <= 0) return 0;
    const int32_t n = Len <= free ? Len : free;
    std::memcpy(Storage + WritePos, Data, static_cast<size_t>(n));
    WritePos += n;
    return n;
}

const char* TBuffer::Peek(int32_t& Len) const {
    const int32_t avail = WritePos - ReadPos;
    if (avail <= 0) {
        Len = 0;
        return nullptr;
    }
    Len = avail;
    return Storage + ReadPos;
}

int32_t TBuffer::Remove(int32_t Len) {
    const int32_t avail = WritePos - ReadPos;
    if (avail <= 0 || Len <= 0) return 0;
    const int32_t n = Len <= avail ? Len : avail;
    ReadPos += n;
    if (ReadPos == WritePos) ReadPos = WritePos = 0;
    return n;
}
