// Fuzzes the telnet stream parser: commands, negotiations and subnegotiations cut anywhere,
// with the collect buffer filling up. Replies go nowhere (the component has no socket).
#include "tncnx.h"

#include <cstddef>
#include <cstdint>

namespace {
class FuzzCnx : public TTnCnx {
public:
    FuzzCnx() {
        delete Socket();  // sends then return -1 instead of needing a connection
        OnDataAvailable = [](QObject*, const char* data, int len) {
            if (len <= 0 || len > CollectSize || data[len] != '\0') __builtin_trap();
        };
    }
    using TTnCnx::DeliverCollected;
    using TTnCnx::Parse;
    using TTnCnx::SubnegotiationBytesHeld;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static FuzzCnx* cnx = new FuzzCnx;  // state carries over between inputs, as between reads
    // Reads of at most 2048 bytes, as the socket hands them over.
    for (size_t at = 0; at < Size; at += 2048) {
        const size_t n = Size - at < 2048 ? Size - at : 2048;
        cnx->Parse(Data + at, static_cast<int>(n));
        cnx->DeliverCollected();
        if (cnx->SubnegotiationBytesHeld() > 256) __builtin_trap();
    }
    return 0;
}
