#pragma once
// Spell checking in the compose pane with Hunspell and the dictionaries installed on the system:
// unknown words are underlined as the user types; the context menu offers suggestions and "Add
// to my words" (a word list in the settings folder, one word a line, kept for every language).
// Words with digits (call signs such as DL1ABC), links and mail addresses, and the call signs
// and names of the user list are never marked.
#include "chat_text.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class Hunspell;
class QSyntaxHighlighter;
class TPalnorForm;

class TSpelling : public QObject {
public:
    explicit TSpelling(TPalnorForm& Form);
    ~TSpelling() override;

    // The installed dictionaries by language ("en_US"), and the one that fits the user's locale.
    static QStringList Languages();
    static QString DefaultLanguage();
    static QString WordsFile();  // "my words", in the settings folder

    bool Enabled() const { return Enabled_; }
    void SetEnabled(bool On);
    QString Language() const { return Language_; }
    // Loads the language's dictionary; false (and nothing is marked) when it is not installed.
    bool SetLanguage(const QString& Language);

    // The words of Text that are checked and unknown.
    QList<TTextSpan> UnknownWords(const QString& Text);
    bool Known(const QString& Word);
    QStringList Suggestions(const QString& Word);
    // Adds Word to my words; false with the reason when the list cannot be written (the word is
    // known for this run all the same).
    bool AddWord(const QString& Word, QString* Error = nullptr);

private:
    void ContextMenu(const QPoint& Pos);
    const QSet<QString>& UserNames();

    TPalnorForm& Form_;
    bool Enabled_ = true;
    QString Language_;
    std::unique_ptr<Hunspell> Dictionary_;
    bool Utf8_ = true;  // the dictionary's code: UTF-8, or else Latin-1
    QSet<QString> MyWords_;
    QHash<QString, bool> Cache_;  // words checked, and whether they are known
    QSet<QString> Names_;         // the user list's calls and names, in lower case
    bool NamesStale_ = true;
    QSyntaxHighlighter* Highlighter_ = nullptr;
};
