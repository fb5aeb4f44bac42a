#include "chat_protocol.h"

#include "codepage.h"

#include <cctype>
#include <utility>

namespace {

unsigned Code(QChar C) { return C.unicode(); }
unsigned Code(char C) { return static_cast<unsigned char>(C); }

// Where each entry of a comma text lies: a quoted entry from after its opening quote to before
// its closing one (doubled quotes still doubled), any other entry whole. The same reading serves
// the received bytes and the decoded text.
struct TEntrySpan {
    qsizetype Begin = 0, End = 0;
    bool Quoted = false;
};

template <class View>
std::vector<TEntrySpan> CommaEntrySpans(View Text) {
    std::vector<TEntrySpan> spans;
    const auto n = static_cast<qsizetype>(Text.size());
    qsizetype i = 0;
    const auto at = [&](qsizetype k) { return Code(Text[static_cast<std::size_t>(k)]); };
    auto skipBlanks = [&] {
        while (i < n && at(i) >= 1 && at(i) <= 32) ++i;
    };
    skipBlanks();
    while (i < n) {
        TEntrySpan span;
        if (at(i) == '"') {
            span.Quoted = true;
            span.Begin = span.End = ++i;
            while (i < n) {
                if (at(i) == '"') {
                    if (i + 1 < n && at(i + 1) == '"') {
                        span.End = i += 2;
                        continue;
                    }
                    span.End = i++;
                    break;
                }
                span.End = ++i;
            }
        } else {
            span.Begin = i;
            while (i < n && at(i) != ',' && at(i) > 32) ++i;
            span.End = i;
        }
        spans.push_back(span);
        skipBlanks();
        if (i < n && at(i) == ',') {
            ++i;
            skipBlanks();
        }
    }
    return spans;
}

}  // namespace

QString ReceivedText(std::string_view Bytes) {
    const std::size_t nul = Bytes.find('\0');
    const std::string_view text = nul == std::string_view::npos ? Bytes : Bytes.substr(0, nul);
    if (!text.starts_with('~')) return FromWireLine(text);
    // A user list may hold names from clients of both kinds: each entry is read on its own (the
    // separators between entries are ASCII, which is never part of a longer UTF-8 sequence, so a
    // list that is UTF-8 as a whole reads as before).
    const std::string_view list = text.substr(1);
    QString decoded = QStringLiteral("~");
    std::size_t done = 0;
    for (const TEntrySpan& span : CommaEntrySpans(list)) {
        const auto begin = static_cast<std::size_t>(span.Begin), end = static_cast<std::size_t>(span.End);
        decoded += FromAnsi(list.substr(done, begin - done)) + FromWireLine(list.substr(begin, end - begin));
        done = end;
    }
    return decoded + FromAnsi(list.substr(done));
}

namespace {
std::string ToWire(const QString& Text, TWireCode Code) {
    return Code == TWireCode::Utf8 ? Text.toUtf8().toStdString() : ToAnsi(Text);
}
}  // namespace

TChunkKind ClassifyChunk(const QString& Text) {
    if (Text.startsWith(u'~')) return TChunkKind::UserList;
    if (Text.startsWith(u'&')) return TChunkKind::ChatLine;
    if (Text.startsWith(u"*w")) return TChunkKind::Welcome;
    return TChunkKind::Other;
}

QStringList ParseCommaText(const QString& Text) {
    QStringList entries;
    for (const TEntrySpan& s : CommaEntrySpans(QStringView(Text))) {
        QString entry = Text.mid(s.Begin, s.End - s.Begin);
        if (s.Quoted) entry.replace(QStringLiteral("\"\""), QStringLiteral("\""));
        entries << entry;
    }
    return entries;
}

TChatLine ParseChatLine(const QString& Text) {
    // Positions as the line's format counts them: from 1, the first two characters dropped.
    QString t = Text.mid(2);
    t.replace(QString(QChar(2)) + QChar(1), QStringLiteral("\r\n"));
    const qsizetype p = t.indexOf(u'>') + 1;  // 0 when there is none
    TChatLine line;
    if (p > 1) line.Sender = t.left(p - 1);
    const QString rest = p == 0 ? t.mid(1) : t.mid(p + 1);
    const qsizetype q = rest.indexOf(u'>');
    if (q > 0) line.Message = rest.left(q);
    return line;
}

std::string ChatSenderBytes(std::string_view Line) {
    Line = Line.substr(0, Line.find('\0'));
    if (Line.size() < 2) return {};
    Line.remove_prefix(2);
    return std::string(Line.substr(0, Line.find('>')));
}

QString ChatTimeStamp(const QTime& Now, const QString& Separator) {
    return QStringLiteral(" %1%2%3 ")
        .arg(Now.hour(), 2, 10, QChar(u'0'))
        .arg(Separator)
        .arg(Now.minute(), 2, 10, QChar(u'0'));
}

std::string LoginLine(const QString& Call, const QString& Name, TWireCode Code) {
    return "~SC=" + ToWire(Call, Code) + "-" + ToWire(Name, Code) + "\r\n";
}

std::string ChatLineBytes(const QString& Call, const QString& Name, const QString& Text,
                          TWireCode Code) {
    std::string text = ToWire(Text, Code);
    std::string encoded;
    encoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            encoded += "\x02\x01";
            ++i;
        } else {
            encoded += text[i];
        }
    }
    return "&<" + ToWire(Call, Code) + "-" + ToWire(Name, Code) + "><" + encoded + ">\r\n";
}

std::string ExitLine() { return "~Exit=KORVEL\r\n"; }

QString TimeSeparatorOf(const QString& Format) {
    bool quoted = false;
    for (QChar c : Format) {
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && !c.isLetter() && !c.isSpace()) return QString(c);
    }
    return QStringLiteral(":");
}

namespace {
bool StartsMessage(char C) { return C == '~' || C == '&' || C == '*'; }

// Whether a comma text has entries and each holds a "-", as the server's "CALL-NAME" entries do.
bool EntriesNamed(std::string_view Text) {
    bool any = false;
    for (const TEntrySpan& span : CommaEntrySpans(Text)) {
        const auto entry = Text.substr(static_cast<std::size_t>(span.Begin), static_cast<std::size_t>(span.End - span.Begin));
        if (entry.empty()) continue;
        if (entry.find('-') == std::string_view::npos) return false;
        any = true;
    }
    return any;
}

// Whether a line goes on with the user list before it. A list of "CALL-NAME" entries goes on with
// any line of such entries, however they are separated or quoted; any list with a line of
// comma-separated entries like call signs (letters, digits, "-", "_", ".", "/"). So a notice that
// happens to follow a list ("Server restarting in 5 minutes") is not read as users.
bool ContinuesList(std::string_view Line, bool NamedList) {
    if (Line.empty() || StartsMessage(Line[0])) return false;
    if (NamedList && EntriesNamed(Line)) return true;
    bool entry = false, gap = false;  // inside an entry; blanks after one
    for (const char c : Line) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ',') {
            entry = gap = false;
        } else if (c == ' ' || c == '\t') {
            gap = entry;
        } else if (u >= 0x80 || std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '/') {
            if (gap) return false;  // two entries with no comma between them
            entry = true;
        } else {
            return false;
        }
    }
    return Line.find_first_not_of(" \t,") != std::string_view::npos;
}
}  // namespace

// Only a chat line can be seen to be unfinished: its message runs up to a closing ">".
bool TReceivedLines::HeldIsComplete() const {
    if (Held_[0] != '&') return true;
    const std::size_t p = Held_.find('>', 2);
    return p != std::string::npos && Held_.find('>', p + 2) != std::string::npos;
}

void TReceivedLines::HandOn(std::vector<std::string>& Lines, std::string Line) {
    if (!Line.empty() && Line[0] == '~') {
        List_ = Line;
        ListOpen_ = true;
        ListNamed_ = EntriesNamed(std::string_view(Line).substr(1));
    } else if (ListOpen_ && ContinuesList(Line, ListNamed_) && List_.size() + Line.size() < MaxLine) {
        ListNamed_ = ListNamed_ && EntriesNamed(Line);
        List_ += '\n';
        List_ += Line;
        if (ListInThisRead_) {
            Lines[ListIndex_] = List_;
            return;
        }
    } else {
        if (!Line.empty()) ListOpen_ = false;
        Lines.push_back(std::move(Line));
        return;
    }
    ListIndex_ = Lines.size();
    ListInThisRead_ = true;
    Lines.push_back(List_);
}

std::vector<std::string> TReceivedLines::Feed(std::string_view Bytes) {
    std::vector<std::string> lines;
    ListInThisRead_ = false;
    if (!Held_.empty() && !Bytes.empty() && StartsMessage(Bytes[0]) && HeldIsComplete())
        HandOn(lines, std::exchange(Held_, {}));
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = Bytes.find('\n', start);
        if (end == std::string_view::npos) break;
        Held_.append(Bytes.substr(start, end - start));
        if (!Held_.empty() && Held_.back() == '\r') Held_.pop_back();
        HandOn(lines, std::exchange(Held_, {}));
        start = end + 1;
    }
    Held_.append(Bytes.substr(start));
    if (Held_.size() > MaxLine) HandOn(lines, std::exchange(Held_, {}));
    return lines;
}

std::vector<std::string> TReceivedLines::TakeRest() {
    std::vector<std::string> lines;
    ListInThisRead_ = false;
    if (!Held_.empty()) HandOn(lines, std::exchange(Held_, {}));
    ListOpen_ = false;
    List_.clear();
    return lines;
}
