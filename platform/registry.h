#pragma once
// The current user's registry: keys (paths with "\" between names, matched without regard to
// case) holding typed values. Kept as one JSON file, registry.json, in the settings folder
// beside CL.ini (config_dir.h). Writes replace the file in one step, each under an advisory lock
// on "<store>.lock", so two programs that write at once keep both their values. A store file that
// cannot be read raises Exception on every access and is never written over; one that still
// looks damaged when read a second time (an editor may be saving it in place) is moved aside (the
// Exception names where) once.
#include <QByteArray>
#include <QString>

#include <optional>

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

class TRegistry {
public:
    TRegistry();  // the current user's root; no key is open
    ~TRegistry();

    bool OpenKey(const QString& Key, bool CanCreate);  // relative to the root
    void CloseKey();
    bool KeyExists(const QString& Key) const;
    const QString& CurrentPath() const { return Current_; }

    bool ValueExists(const QString& Name) const;
    TRegDataType GetDataType(const QString& Name) const;
    // Raises Exception "Invalid data type for '<Name>'" when the value is not a string.
    QString ReadString(const QString& Name) const;

    void WriteString(const QString& Name, const QString& Value);
    void WriteExpandString(const QString& Name, const QString& Value);
    void WriteInteger(const QString& Name, int Value);
    void WriteBinaryData(const QString& Name, const QByteArray& Value);

    static QString StorePath();

private:
    void Write(const QString& Name, TRegDataType Type, const QString& Data);
    QString Current_;  // the open key, "" when none
};
