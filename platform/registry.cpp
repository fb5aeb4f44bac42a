#include "registry.h"

#include "exception.h"
#include "config_dir.h"
#include "file_lock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <chrono>
#include <optional>
#include <thread>

// The store: { "<key path in lower case>": { "name": <key path as created>,
//              "values": { "<value name in lower case>": { "name", "type", "data" } } } }
// Binary data is kept as hexadecimal text.
namespace {

QString normalise(const QString& Key) {
    QStringList parts = Key.split(u'\\', Qt::SkipEmptyParts);
    return parts.join(u'\\');
}

// A free name beside the store for a file that is set aside.
QString asideName(const QString& Path) {
    QString name = Path + QStringLiteral(".unreadable");
    for (int n = 2; QFileInfo::exists(name); ++n) name = Path + QStringLiteral(".unreadable-%1").arg(n);
    return name;
}

// The bytes of the store, or nothing when there is no file. A file that cannot be read is never
// taken for an empty one: the caller would write over it.
std::optional<QByteArray> readStore(const QString& Path) {
    QFile f(Path);
    if (!f.exists()) return std::nullopt;
    QByteArray bytes;
    if (f.open(QIODevice::ReadOnly)) bytes = f.readAll();
    if (!f.isOpen() || f.error() != QFileDevice::NoError)
        throw Exception(QStringLiteral("The registry store %1 cannot be read: %2").arg(Path, f.errorString()).toStdString());
    return bytes;
}

bool parsed(const QByteArray& Bytes, QJsonObject* Root, QString* Reason) {
    if (Bytes.trimmed().isEmpty()) {
        *Root = {};
        return true;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(Bytes, &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        *Root = document.object();
        return true;
    }
    *Reason = error.error != QJsonParseError::NoError
                  ? QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset)
                  : QStringLiteral("it holds no keys");
    return false;
}

// One look at the store file: its bytes with the size and modification time it had around the
// read. Two looks that differ in any of them saw a file that was being written.
struct TStoreLook {
    std::optional<QByteArray> Bytes;
    qint64 Size = -1;
    QDateTime Modified;
    bool operator==(const TStoreLook&) const = default;
};

TStoreLook look(const QString& Path) {
    TStoreLook l;
    const QFileInfo before(Path);
    l.Bytes = readStore(Path);
    const QFileInfo after(Path);
    // A change during the read itself shows as a size or time that moved under it.
    l.Size = before.size() == after.size() ? after.size() : -2;
    l.Modified = before.lastModified() == after.lastModified() ? after.lastModified() : QDateTime();
    return l;
}

// The store as it stands; a missing or empty file is an empty store. A file that cannot be read
// is never replaced: every access raises until it can be, so no write goes over it. A file that
// is no store (not a JSON object) is looked at once more at once; only when the two looks differ
// (an editor may be writing it in place just then) is it read again after a moment. A file that
// stays the same and is still no store is moved aside, whole, and the user told where: the next
// access starts an empty store and the old values can still be recovered by hand. Empty counts
// as damaged for that second look, for the same reason.
QJsonObject load() {
    const QString path = TRegistry::StorePath();
    TStoreLook first = look(path);
    if (!first.Bytes) return {};
    QJsonObject root;
    QString reason;
    if (!first.Bytes->trimmed().isEmpty() && parsed(*first.Bytes, &root, &reason)) return root;
    constexpr int MaxLooks = 50;  // half a second of a file that keeps changing
    for (int looks = 1;; ++looks) {
        const TStoreLook again = look(path);
        if (!again.Bytes || parsed(*again.Bytes, &root, &reason)) return root;
        if (again == first && again.Size >= 0 && again.Modified.isValid()) break;
        if (looks == MaxLooks)
            throw Exception(QStringLiteral("The registry store %1 keeps changing and is no store (%2); it is left as "
                                           "it is and nothing is written to it")
                                .arg(path, reason)
                                .toStdString());
        first = again;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const QString aside = asideName(path);
    if (!QFile::rename(path, aside))
        throw Exception(QStringLiteral("The registry store %1 is damaged (%2) and could not be moved aside; it is "
                                       "left as it is and nothing is written to it")
                            .arg(path, reason)
                            .toStdString());
    throw Exception(QStringLiteral("The registry store %1 was damaged (%2); it was kept as %3 and the print "
                                   "settings start from their defaults")
                        .arg(path, reason, aside)
                        .toStdString());
}

// Every change is a read-modify-replace of the whole store, made under the store's lock, so
// two programs that change it at once both keep their values.
class TStoreLock {
public:
    TStoreLock() : Lock_(LockPath()) {
        if (!Lock_.Held())
            throw Exception(QStringLiteral("The registry store %1 cannot be locked for writing: %2")
                                .arg(TRegistry::StorePath(), Lock_.Error())
                                .toStdString());
    }

private:
    // Beside the store, in its folder, which is made first as it would be for the store.
    static QString LockPath() {
        const QString path = TRegistry::StorePath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        return path + QStringLiteral(".lock");
    }
    TFileLock Lock_;
};

void save(const QJsonObject& Root) {
    const QString path = TRegistry::StorePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(Root).toJson()) < 0 || !f.commit())
        throw Exception(QStringLiteral("Cannot write the registry store %1: %2")
                            .arg(path, f.errorString())
                            .toStdString());
}

const char* typeName(TRegDataType Type) {
    switch (Type) {
    case TRegDataType::rdString: return "string";
    case TRegDataType::rdExpandString: return "expandstring";
    case TRegDataType::rdInteger: return "dword";
    case TRegDataType::rdBinary: return "binary";
    case TRegDataType::rdUnknown: return "unknown";
    }
    return "unknown";
}

TRegDataType typeFromName(const QString& Name) {
    for (auto t : {TRegDataType::rdString, TRegDataType::rdExpandString, TRegDataType::rdInteger,
                   TRegDataType::rdBinary})
        if (Name == QLatin1String(typeName(t))) return t;
    return TRegDataType::rdUnknown;
}

QJsonObject value(const QString& Key, const QString& Name) {
    const QJsonObject root = load();
    return root.value(Key.toLower()).toObject().value("values").toObject().value(Name.toLower()).toObject();
}

}  // namespace

TRegistry::TRegistry() = default;
TRegistry::~TRegistry() = default;

QString TRegistry::StorePath() {
    return ConfigDir() + QStringLiteral("/registry.json");
}

bool TRegistry::KeyExists(const QString& Key) const {
    return load().contains(normalise(Key).toLower());
}

bool TRegistry::OpenKey(const QString& Key, bool CanCreate) {
    const QString path = normalise(Key);
    if (path.isEmpty()) return false;
    if (!load().contains(path.toLower())) {
        if (!CanCreate) return false;
        const TStoreLock lock;
        QJsonObject root = load();
        // Creating a key creates the keys above it, as the registry does.
        QString prefix;
        for (const QString& part : path.split(u'\\')) {
            prefix = prefix.isEmpty() ? part : prefix + u'\\' + part;
            if (!root.contains(prefix.toLower()))
                root.insert(prefix.toLower(), QJsonObject{{"name", prefix}, {"values", QJsonObject{}}});
        }
        save(root);
    }
    Current_ = path;
    return true;
}

void TRegistry::CloseKey() { Current_.clear(); }

bool TRegistry::ValueExists(const QString& Name) const {
    return !Current_.isEmpty() && !value(Current_, Name).isEmpty();
}

TRegDataType TRegistry::GetDataType(const QString& Name) const {
    if (Current_.isEmpty()) return TRegDataType::rdUnknown;
    return typeFromName(value(Current_, Name).value("type").toString());
}

QString TRegistry::ReadString(const QString& Name) const {
    const QJsonObject v = Current_.isEmpty() ? QJsonObject() : value(Current_, Name);
    if (v.isEmpty()) return {};
    const TRegDataType type = typeFromName(v.value("type").toString());
    if (type != TRegDataType::rdString && type != TRegDataType::rdExpandString)
        throw Exception(QStringLiteral("Invalid data type for '%1'").arg(Name).toStdString());
    return v.value("data").toString();
}

void TRegistry::Write(const QString& Name, TRegDataType Type, const QString& Data) {
    if (Current_.isEmpty()) throw Exception("No registry key is open");
    const TStoreLock lock;
    QJsonObject root = load();
    QJsonObject key = root.value(Current_.toLower()).toObject();
    key.insert("name", Current_);
    QJsonObject values = key.value("values").toObject();
    values.insert(Name.toLower(), QJsonObject{{"name", Name}, {"type", typeName(Type)}, {"data", Data}});
    key.insert("values", values);
    root.insert(Current_.toLower(), key);
    save(root);
}

void TRegistry::WriteString(const QString& Name, const QString& Value) {
    Write(Name, TRegDataType::rdString, Value);
}
void TRegistry::WriteExpandString(const QString& Name, const QString& Value) {
    Write(Name, TRegDataType::rdExpandString, Value);
}
void TRegistry::WriteInteger(const QString& Name, int Value) {
    Write(Name, TRegDataType::rdInteger, QString::number(Value));
}
void TRegistry::WriteBinaryData(const QString& Name, const QByteArray& Value) {
    Write(Name, TRegDataType::rdBinary, QString::fromLatin1(Value.toHex()));
}
