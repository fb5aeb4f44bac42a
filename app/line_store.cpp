#include "line_store.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace {
// The length ahead of a line's characters: seven bits a byte, the high bit set on all but the
// last, so a chat line of up to 127 characters spends one byte on it.
size_t LengthBytes(size_t Length) {
    size_t n = 1;
    while (Length >= 0x80) Length >>= 7, ++n;
    return n;
}
}  // namespace

char* TLineStore::Reserve(size_t Bytes, TEntry& Entry) {
    if (PageUsed_ + Bytes > PageSize || Pages_.empty()) {
        const size_t size = std::max(Bytes, PageSize);
        // Left uninitialised: a large page comes from the system as it is touched, so the
        // unused end of the last one costs nothing.
        Pages_.push_back(std::make_unique_for_overwrite<char[]>(size));
        PageBytes_ += size;
        PageUsed_ = 0;
    }
    Entry.Page = uint32_t(Pages_.size() - 1);
    Entry.Offset = uint32_t(PageUsed_);
    char* at = Pages_.back().get() + PageUsed_;
    // A page of a line's own size is full with it; the next line starts another.
    PageUsed_ = Bytes > PageSize ? PageSize : PageUsed_ + Bytes;
    return at;
}

void TLineStore::Append(QStringView Line, const QList<TStyledSpan>& Spans) {
    const bool wide = std::any_of(Line.begin(), Line.end(), [](QChar c) { return c.unicode() > 0xff; });
    const size_t length = size_t(Line.size());
    TEntry entry;
    entry.Wide = wide;
    entry.Styled = !Spans.isEmpty();
    char* at = Reserve(LengthBytes(length) + length * (wide ? 2 : 1), entry);
    for (size_t rest = length;; rest >>= 7) {
        *at++ = char((rest & 0x7f) | (rest >= 0x80 ? 0x80 : 0));
        if (rest < 0x80) break;
    }
    if (wide)
        std::memcpy(at, Line.utf16(), length * 2);
    else
        for (const QChar c : Line) *at++ = char(c.unicode());
    if (entry.Styled) Spans_.emplace(Count_, Spans);
    if (size_t(Count_) % ChunkEntries == 0) Chunks_.push_back(std::make_unique_for_overwrite<TEntry[]>(ChunkEntries));
    Chunks_.back()[size_t(Count_) % ChunkEntries] = entry;
    ++Count_;
}

void TLineStore::Clear() {
    Chunks_.clear();
    Chunks_.shrink_to_fit();
    Count_ = 0;
    Pages_.clear();
    Pages_.shrink_to_fit();
    PageUsed_ = PageSize;
    PageBytes_ = 0;
    Spans_.clear();
}

namespace {
const char* ReadLength(const char* At, size_t& Length) {
    Length = 0;
    for (int shift = 0;; shift += 7) {
        const auto b = static_cast<unsigned char>(*At++);
        Length |= size_t(b & 0x7f) << shift;
        if (!(b & 0x80)) return At;
    }
}
}  // namespace

qsizetype TLineStore::Length(qsizetype Index) const {
    assert(Index >= 0 && Index < Count() && "a line of the store");
    const TEntry& e = EntryAt(Index);
    size_t length = 0;
    ReadLength(Pages_[e.Page].get() + e.Offset, length);
    return qsizetype(length);
}

QString TLineStore::Line(qsizetype Index) const {
    assert(Index >= 0 && Index < Count() && "a line of the store");
    const TEntry& e = EntryAt(Index);
    size_t length = 0;
    const char* at = ReadLength(Pages_[e.Page].get() + e.Offset, length);
    if (!e.Wide) return QString::fromLatin1(at, qsizetype(length));
    QString text(qsizetype(length), Qt::Uninitialized);
    std::memcpy(text.data(), at, length * 2);
    return text;
}

QList<TStyledSpan> TLineStore::Spans(qsizetype Index) const {
    if (!EntryAt(Index).Styled) return {};
    return Spans_.at(Index);
}

size_t TLineStore::Bytes() const {
    return PageBytes_ + Chunks_.size() * ChunkEntries * sizeof(TEntry) + Spans_.size() * (sizeof(TStyledSpan) + 32);
}
