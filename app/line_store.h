#pragma once
// The conversation's lines, kept compactly: a line whose characters all fit in one byte takes
// one byte a character (two where any does not), after a length of one byte or more; the styled
// parts of a line are kept beside it, only for the lines that have them. Lines are appended or
// all cleared, never changed.
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

// A part of an appended line drawn apart: the sender of one's own line, a line that mentions
// the user, a reference that a click opens (Href), a quiet note of the program.
enum class TLineStyle { Own, Mention, Link, Quiet };
struct TStyledSpan {
    qsizetype Start = 0;
    qsizetype Length = 0;
    TLineStyle Style = TLineStyle::Own;
    QString Href;
    bool operator==(const TStyledSpan&) const = default;
};

class TLineStore {
public:
    void Append(QStringView Line, const QList<TStyledSpan>& Spans = {});
    void Clear();

    qsizetype Count() const { return Count_; }
    QString Line(qsizetype Index) const;
    qsizetype Length(qsizetype Index) const;
    // The line's styled parts as appended, or none.
    QList<TStyledSpan> Spans(qsizetype Index) const;
    // What the lines take in memory, their index included.
    size_t Bytes() const;

private:
    struct TEntry {
        uint32_t Page = 0;
        uint32_t Offset : 30 = 0;
        uint32_t Wide : 1 = 0;    // two bytes a character
        uint32_t Styled : 1 = 0;  // has spans
    };
    static constexpr size_t PageSize = 1024 * 1024;
    char* Reserve(size_t Bytes, TEntry& Entry);

    const TEntry& EntryAt(qsizetype Index) const {
        return Chunks_[size_t(Index) / ChunkEntries][size_t(Index) % ChunkEntries];
    }
    // The index in chunks of a fixed size: a few large blocks rather than many small ones
    // between the short-lived strings of each turn, which would keep the heap from reusing them.
    static constexpr size_t ChunkEntries = 32 * 1024;
    std::vector<std::unique_ptr<TEntry[]>> Chunks_;
    qsizetype Count_ = 0;
    // Lines fill pages in turn; a line larger than a page gets a page of its own size.
    std::vector<std::unique_ptr<char[]>> Pages_;
    size_t PageUsed_ = PageSize;  // in the last page
    size_t PageBytes_ = 0;        // all pages
    std::unordered_map<qsizetype, QList<TStyledSpan>> Spans_;
};
