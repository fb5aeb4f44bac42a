// Fuzzes the reading of the profile file behind CL.ini: whatever bytes it holds, reading never
// crashes, and writing one key back keeps the rest: every other value reads as before and every
// line of the file keeps its bytes. The same bytes, taken as text in any script, make values
// that read back as they were written.
#include "profile.h"
#include "profile_round_trip.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace {

const QString& FilePath() {
    static QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/profile-fuzz-XXXXXX")
                                                        : QDir::tempPath() + QStringLiteral("/profile-fuzz-XXXXXX"));
    static const QString path = dir.filePath(QStringLiteral("CL.ini"));
    return path;
}

// Lines as the reader counts them: a last line without a line end counts too.
qsizetype LineCount(const QByteArray& Bytes) {
    return Bytes.count('\n') + (!Bytes.isEmpty() && !Bytes.endsWith('\n') ? 1 : 0);
}

const std::pair<const char*, const char*> Probes[] = {
    {"FORM", "Top"}, {"FORM", "Left"}, {"form", "FONT"}, {"FORM", ""}, {"", "Top"}, {"A", "B"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const QByteArray bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    const QString& path = FilePath();
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) std::abort();
    }
    QStringList before;
    TProfileFile profile(path);
    for (const auto& [section, key] : Probes) before << profile.ReadString(section, key, QStringLiteral("-"));

    profile.WriteString(QStringLiteral("FORM"), QStringLiteral("Top"), QStringLiteral("12"));
    if (!profile.UpdateFile()) std::abort();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) std::abort();
    const qsizetype added = LineCount(f.readAll()) - LineCount(bytes);
    if (added < 0 || added > 2) std::abort();

    const TProfileFile again(path);
    for (qsizetype i = 0; i < before.size(); ++i) {
        const auto& [section, key] = Probes[i];
        const QString now = again.ReadString(section, key, QStringLiteral("-"));
        const bool written = QString::fromLatin1(section).compare("FORM", Qt::CaseInsensitive) == 0 &&
                             QString::fromLatin1(key).compare("Top", Qt::CaseInsensitive) == 0;
        if (written ? now != QStringLiteral("12") : now != before[i]) std::abort();
    }
    if (!UntouchedLinesKeepTheirBytes(bytes, path + QStringLiteral(".bytes")).empty()) std::abort();
    if (!ProfileRoundTrip(bytes, path + QStringLiteral(".values")).empty()) std::abort();
    return 0;
}
