#pragma once
// A profile ("INI") file with Windows semantics: sections and keys matched without regard to
// case, lines the program does not touch kept as they are, the file and section created when
// missing, values read up to 2047 characters, CR LF lines. The text is Windows-1252 while every
// line fits it and UTF-8 otherwise, marked by a byte order mark; a file is read as UTF-8 only
// when it carries the mark (or is an earlier version's unmarked UTF-8), never because its
// bytes happen to be valid UTF-8. Lines the program did not change keep their bytes. Changes are
// written in one go by UpdateFile, to a file beside the target that then replaces it, so an
// interrupted write never leaves a truncated or empty file.
#include <QString>

#include <memory>

class TProfileFile {
public:
    explicit TProfileFile(const QString& Path);  // reads the file; a missing file is empty
    ~TProfileFile();

    QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
    void WriteString(const QString& Section, const QString& Key, const QString& Value);
    bool UpdateFile(QString* Error = nullptr);  // false with a readable reason on failure
    const QString& Path() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};
