// Fuzzes the reading of what the chat server sends: lines split across reads, their
// classification, chat lines and the user list's comma text; and the conversation log, which
// keeps what the server sent: read back, it is what was logged, and no line of it carries a
// stamp the program did not write.
#include "chat_protocol.h"
#include "log_round_trip.h"

#include <cstdlib>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TReceivedLines lines;
    const std::string_view all(reinterpret_cast<const char*>(Data), Size);
    // The first byte decides where the input is cut into two reads.
    const std::size_t cut = Size ? Data[0] % (Size + 1) : 0;
    for (std::string_view read : {all.substr(0, cut), all.substr(cut)}) {
        for (const std::string& line : lines.Feed(read)) {
            const QString text = ReceivedText(line);
            switch (ClassifyChunk(text)) {
            case TChunkKind::UserList: ParseCommaText(text.mid(1)); break;
            case TChunkKind::ChatLine: ParseChatLine(text); break;
            case TChunkKind::Welcome: case TChunkKind::Other: break;
            }
        }
    }
    lines.TakeRest();
    if (!LogRoundTrip(QByteArray(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size))).empty()) std::abort();
    return 0;
}
