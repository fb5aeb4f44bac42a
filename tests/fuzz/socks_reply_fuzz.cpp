// libFuzzer target for the SOCKS reply reader: the input picks the handshake's version and
// method, then is fed to the reader in pieces of sizes the input also picks, and the handshake
// advances as the socket would advance it. Any broken promise of the reader aborts.
#include "socks_reply.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool Condition) {
    if (!Condition) std::abort();
}

bool knownFailure(int Code) { return Code >= 20001 && Code <= 20017 && Code != 20014; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const bool version4 = Data[0] & 1;
    const bool credentialsOffered = Data[0] & 2;
    ++Data;
    --Size;

    TSocksReplyReader reader;
    reader.Start(version4 ? srConnectReply4 : srMethodChoice);
    while (Size > 0) {
        // A piece: its length byte (1 to 16), then up to that many bytes.
        const size_t want = (Data[0] & 15) + 1;
        ++Data;
        --Size;
        const int room = reader.Room();
        require(room > 0 && room <= TSocksReplyReader::Capacity);
        const size_t n = std::min({want, Size, static_cast<size_t>(room)});
        std::memcpy(reader.Free(), Data, n);
        Data += n;
        Size -= n;
        const int before = reader.Count();
        const TSocksOutcome outcome = reader.Added(static_cast<int>(n));
        require(reader.Count() >= 0 && reader.Count() <= TSocksReplyReader::Capacity);
        require(reader.Count() == 0 || reader.Count() >= before);
        switch (outcome) {
        case soNeedMore: break;
        case soNoAuth: reader.Start(srConnectReply5); break;
        case soUserPassword:
            reader.Start(credentialsOffered ? srAuthResult : srConnectReply5);
            break;
        case soAuthAccepted:
            require(reader.Kind() == srAuthResult);
            reader.Start(srConnectReply5);
            break;
        case soConnected:
            require(reader.Kind() == srConnectReply4 || reader.Kind() == srConnectReply5);
            if (reader.Kind() == srConnectReply5) {
                require(reader.ReplyLength() >= 7);  // a name of length 0 is the shortest
                require(reader.ReplyLength() <= reader.Count());
            }
            return 0;
        case soFailed:
            require(knownFailure(reader.FailCode()));
            require(!reader.FailText().empty());
            require(reader.Quote().size() <= 3 * TSocksReplyReader::Capacity);
            return 0;
        }
    }
    return 0;
}
