// Fuzzes the reading of the registry store file: whatever bytes it holds, opening, reading and
// writing a key never crashes, and the bytes are never lost: they stay in the store, or in the
// file set aside, or (a store that was read) every key they held is still in the store.
#include "exception.h"
#include "registry.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The store lives in a scratch folder, in memory where the machine has one.
const QString& StoreDir() {
    static QTemporaryDir dir(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/registry-fuzz-XXXXXX")
                                                        : QDir::tempPath() + QStringLiteral("/registry-fuzz-XXXXXX"));
    static const QString path = dir.path();
    return path;
}

QByteArray Contents(const QString& Path) {
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

// The settings folder that the store is kept in, as the program's start-up provides it.
QString ConfigDir() { return StoreDir(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const QByteArray bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));
    const QString store = TRegistry::StorePath();
    const QString aside = store + QStringLiteral(".unreadable");
    QFile::remove(store);
    QFile::remove(aside);
    {
        QFile f(store);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) std::abort();
    }
    try {
        TRegistry reg;
        reg.KeyExists(QStringLiteral("Software"));
        if (reg.OpenKey(QStringLiteral("Software\\Quintor\\ListPrint\\Setup"), false)) {
            reg.ValueExists(QStringLiteral("Title"));
            reg.GetDataType(QStringLiteral("Title"));
            reg.ReadString(QStringLiteral("Title"));
        }
        if (reg.OpenKey(QStringLiteral("Software\\Fuzz"), true)) reg.WriteString(QStringLiteral("Value"), QStringLiteral("x"));
    } catch (const Exception&) {
    }

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // Not a store: unless it held nothing, the bytes survive whole in one of the two files.
        if (!bytes.trimmed().isEmpty() && Contents(aside) != bytes && Contents(store) != bytes) std::abort();
        return 0;
    }
    if (QFile::exists(aside)) std::abort();  // a readable store is never set aside
    const QJsonObject after = QJsonDocument::fromJson(Contents(store)).object();
    for (const QString& key : document.object().keys())
        if (!after.contains(key)) std::abort();
    return 0;
}
