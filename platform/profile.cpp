#include "profile.h"

#include "codepage.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A value is read into a buffer of 2048 characters, the last of which ends the string.
constexpr qsizetype MaxValueLength = 2047;

// The blanks that are trimmed around names and values. Deliberately not QChar::isSpace: that
// would also take the no-break space (byte 0xA0), which is text in Windows-1252.
bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

QStringView Trimmed(QStringView s) {
    qsizetype begin = 0, end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.sliced(begin, end - begin);
}

bool SameName(QStringView a, QStringView b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// What a line of the file is. Anything that is neither a section header nor holds a "=" (blank
// lines, comments, stray text) is only carried along; so is a comment line that holds a "=",
// since its name (";Top") never matches a key the program asks for.
struct TLineKind {
    enum class EKind { Other, Section, Entry } Kind = EKind::Other;
    QStringView Name;   // section or key, trimmed
    QStringView Value;  // entries only, trimmed, quotes still on
};

TLineKind Classify(const QString& line) {
    const QStringView s = Trimmed(line);
    if (s.startsWith(u'[')) {
        // "[FORM]" and "[ FORM ] ; note" both name FORM; a missing "]" ends the name at the
        // line's end.
        QStringView name = s.sliced(1);
        if (const qsizetype close = name.indexOf(u']'); close >= 0) name.truncate(close);
        return {TLineKind::EKind::Section, Trimmed(name), {}};
    }
    if (const qsizetype eq = s.indexOf(u'='); eq >= 0)
        return {TLineKind::EKind::Entry, Trimmed(s.first(eq)), Trimmed(s.sliced(eq + 1))};
    return {};
}

// A value in matching quotes, double or single, is returned without them; a lone or unmatched
// quote is part of the value.
QStringView Unquoted(QStringView v) {
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
        return v.sliced(1, v.size() - 2);
    return v;
}

// The text of Bytes when they are valid UTF-8.
std::optional<QString> AsUtf8(QByteArrayView Bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(Bytes);
    if (utf8.hasError()) return std::nullopt;
    return text;
}

const QByteArray Bom("\xEF\xBB\xBF");

// How the file's text is encoded. The program marks the UTF-8 files it writes with a byte order
// mark; a file without one is Windows-1252, whatever its bytes happen to look like. The one
// exception are files an earlier version wrote as UTF-8 without the mark: they are valid UTF-8
// and hold characters that Windows-1252 cannot carry, so they could never have been written
// as Windows-1252 text that reads the same. The program never writes such a file unmarked.
enum class TFileCode { Ansi, Utf8Marked, Utf8Unmarked };

TFileCode CodeOf(const QByteArray& Bytes) {
    if (Bytes.startsWith(Bom)) return TFileCode::Utf8Marked;
    const bool high = std::any_of(Bytes.begin(), Bytes.end(), [](char c) { return (c & 0x80) != 0; });
    if (!high) return TFileCode::Ansi;
    const std::optional<QString> text = AsUtf8(Bytes);
    return text && !NotInAnsi(*text).isEmpty() ? TFileCode::Utf8Unmarked : TFileCode::Ansi;
}

QString ErrnoText(int error) { return QString::fromLocal8Bit(strerror(error)); }

bool WriteAll(int fd, const QByteArray& bytes) {
    std::size_t done = 0;
    const auto size = static_cast<std::size_t>(bytes.size());
    while (done < size) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct TProfileFile::TImpl {
    QString Path;
    QStringList Lines;   // without their line ends
    // The bytes each line was read as, with its line end; none for a line the program wrote.
    // A line nobody changed is written back as these bytes while the file keeps its encoding.
    std::vector<std::optional<QByteArray>> Raw;
    TFileCode Code = TFileCode::Ansi;
    bool Dirty = false;  // something to write
    QString ReadError;   // the file exists but could not be read: never overwrite it

    // Index of the first header of Section, or nothing. Later sections of the same name are
    // never looked at, for reading or writing.
    std::optional<qsizetype> FindSection(QStringView section) const {
        for (qsizetype i = 0; i < Lines.size(); ++i) {
            const TLineKind k = Classify(Lines[i]);
            if (k.Kind == TLineKind::EKind::Section && SameName(k.Name, section)) return i;
        }
        return std::nullopt;
    }

    // One past the last line of the section whose header is at Header.
    qsizetype SectionEnd(qsizetype header) const {
        qsizetype i = header + 1;
        while (i < Lines.size() && Classify(Lines[i]).Kind != TLineKind::EKind::Section) ++i;
        return i;
    }

    std::optional<qsizetype> FindKey(qsizetype header, QStringView key) const {
        const qsizetype end = SectionEnd(header);
        for (qsizetype i = header + 1; i < end; ++i) {
            const TLineKind k = Classify(Lines[i]);
            if (k.Kind == TLineKind::EKind::Entry && SameName(k.Name, key)) return i;
        }
        return std::nullopt;
    }

    void Load() {
        QFile file(Path);
        if (!file.exists()) return;
        if (!file.open(QIODevice::ReadOnly)) {
            ReadError = QStringLiteral("Cannot read the settings file \"%1\": %2")
                            .arg(Path, file.errorString());
            return;
        }
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            ReadError = QStringLiteral("Cannot read the settings file \"%1\": %2")
                            .arg(Path, file.errorString());
            return;
        }
        Take(bytes);
    }

    // The lines of the file's bytes, and the encoding they are in.
    void Take(const QByteArray& bytes) {
        Lines.clear();
        Raw.clear();
        Code = CodeOf(bytes);
        const qsizetype skip = Code == TFileCode::Utf8Marked ? Bom.size() : 0;
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        qsizetype start = skip;
        while (start < bytes.size()) {
            qsizetype end = bytes.indexOf('\n', start);
            const qsizetype next = end < 0 ? bytes.size() : end + 1;
            if (end < 0) end = bytes.size();
            if (end > start && bytes[end - 1] == '\r') --end;
            const QByteArrayView line(bytes.constData() + start, end - start);
            Lines << (Code == TFileCode::Ansi ? FromAnsi(std::string_view(line.data(), std::size_t(line.size())))
                                              : utf8(line));
            Raw.emplace_back(bytes.mid(start, next - start));
            start = next;
        }
    }

    void SetLine(qsizetype At, const QString& Line) {
        Lines[At] = Line;
        Raw[std::size_t(At)].reset();
        Dirty = true;
    }
    void InsertLine(qsizetype At, const QString& Line) {
        Lines.insert(At, Line);
        Raw.insert(Raw.begin() + At, std::nullopt);
        Dirty = true;
    }

    // The file's bytes: Windows-1252 while every line fits it, so other readers of the file keep
    // working; a line that does not fit makes the whole file UTF-8 (marked) instead of losing it
    // to "?", and so does Windows-1252 text that would be taken for an earlier version's UTF-8.
    // A UTF-8 file stays UTF-8. Lines nobody changed keep their bytes; only where a Windows-1252
    // file has to become UTF-8 do they keep their text instead.
    QByteArray Encoded() const {
        const bool fits = std::all_of(Lines.begin(), Lines.end(), [](const QString& l) { return NotInAnsi(l).isEmpty(); });
        const auto encoded = [this](bool utf8) {
            const bool keep = utf8 == (Code != TFileCode::Ansi);
            QByteArray bytes = utf8 ? Bom : QByteArray();
            for (qsizetype i = 0; i < Lines.size(); ++i) {
                const std::optional<QByteArray>& raw = Raw[std::size_t(i)];
                if (keep && raw) {
                    bytes += *raw;
                    if (!raw->endsWith('\n')) bytes += raw->endsWith('\r') ? "\n" : "\r\n";  // a last line without its end
                } else {
                    bytes += (utf8 ? Lines[i].toUtf8() : QByteArray::fromStdString(ToAnsi(Lines[i]))) + "\r\n";
                }
            }
            return bytes;
        };
        if (!fits || Code != TFileCode::Ansi) return encoded(true);
        QByteArray bytes = encoded(false);
        return CodeOf(bytes) == TFileCode::Ansi ? bytes : encoded(true);
    }

    // Writes the lines to a new file beside the target and renames it over the target, so the
    // target holds either the old text or the whole new one, never a part.
    bool Save(const QByteArray& bytes, QString* error) {
        const auto fail = [&](const QString& what, int code) {
            if (error)
                *error = QStringLiteral("Cannot write the settings file \"%1\": %2: %3")
                             .arg(Path, what, ErrnoText(code));
            return false;
        };

        // A settings file that is a link keeps being one: the file it points to is replaced.
        const QFileInfo info(Path);
        const QString target = info.isSymLink() ? info.symLinkTarget() : Path;
        const QString dir = QFileInfo(target).absolutePath();
        const QByteArray targetName = QFile::encodeName(target);

        int fd = -1;
        QByteArray tempName;
        for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
            tempName = QFile::encodeName(
                QStringLiteral("%1/.%2.%3.tmp")
                    .arg(dir, QFileInfo(target).fileName())
                    .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
            fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) return fail(QStringLiteral("cannot create a file in \"%1\"").arg(dir), errno);

        const auto discard = [&](const QString& what) {
            const int code = errno;
            if (fd >= 0) ::close(fd);
            ::unlink(tempName.constData());
            return fail(what, code);
        };
        // The new file takes over the old one's permissions (the umask decides for a new one).
        struct stat old {};
        if (::stat(targetName.constData(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0)
            return discard(QStringLiteral("cannot set permissions"));
        if (!WriteAll(fd, bytes)) return discard(QStringLiteral("write failed"));
        if (::fsync(fd) != 0) return discard(QStringLiteral("cannot flush to disk"));
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0) return discard(QStringLiteral("write failed"));
        if (::rename(tempName.constData(), targetName.constData()) != 0)
            return discard(QStringLiteral("cannot replace the file"));

        // Make the rename itself durable; the data is already safe, so a failure here changes
        // nothing for the caller.
        const QByteArray dirName = QFile::encodeName(dir);
        if (const int dirFd = ::open(dirName.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
        return true;
    }
};

TProfileFile::TProfileFile(const QString& Path) : Impl(std::make_unique<TImpl>()) {
    Impl->Path = Path;
    Impl->Load();
}

TProfileFile::~TProfileFile() = default;

const QString& TProfileFile::Path() const { return Impl->Path; }

QString TProfileFile::ReadString(const QString& Section, const QString& Key,
                                 const QString& Default) const {
    const auto limited = [](QStringView v) {
        return v.first(std::min(MaxValueLength, v.size())).toString();
    };
    if (const auto header = Impl->FindSection(Section))
        if (const auto line = Impl->FindKey(*header, Key))
            return limited(Unquoted(Classify(Impl->Lines[*line]).Value));
    // As Windows does, the default loses its trailing blanks.
    QStringView fallback = Default;
    while (!fallback.isEmpty() && IsBlank(fallback.back())) fallback.chop(1);
    return limited(fallback);
}

void TProfileFile::WriteString(const QString& Section, const QString& Key, const QString& Value) {
    // A line break would end the entry and start another line of the file; it is written as a
    // blank instead.
    QString value = Value;
    value.replace(u'\r', u' ').replace(u'\n', u' ');
    // Reading trims blanks around a value and takes off a pair of quotes around it; a value that
    // would lose something that way is written in double quotes, which reading takes off again.
    if (!value.isEmpty() && (IsBlank(value.front()) || IsBlank(value.back()) || Unquoted(value) != value))
        value = u'"' + value + u'"';

    auto& lines = Impl->Lines;
    const auto header = Impl->FindSection(Section);
    if (!header) {
        Impl->InsertLine(lines.size(), u'[' + Section + u']');
        Impl->InsertLine(lines.size(), Key + u'=' + value);
        return;
    }
    if (const auto line = Impl->FindKey(*header, Key)) {
        const TLineKind k = Classify(lines[*line]);
        if (k.Value == value) return;  // unchanged: the line stays as the user wrote it
        // The key keeps the spelling it has in the file.
        Impl->SetLine(*line, k.Name.toString() + u'=' + value);
        return;
    }
    // A new key goes after the section's last non-blank line, before any blank lines that
    // separate it from the next section.
    qsizetype at = Impl->SectionEnd(*header);
    while (at > *header + 1 && Trimmed(lines[at - 1]).isEmpty()) --at;
    Impl->InsertLine(at, Key + u'=' + value);
}

bool TProfileFile::UpdateFile(QString* Error) {
    if (!Impl->ReadError.isEmpty()) {
        if (Error) *Error = Impl->ReadError + QStringLiteral("; it was left unchanged");
        return false;
    }
    if (!Impl->Dirty) return true;
    const QByteArray bytes = Impl->Encoded();
    if (!Impl->Save(bytes, Error)) return false;
    Impl->Take(bytes);  // the file as it now is: what the next update keeps
    Impl->Dirty = false;
    return true;
}
