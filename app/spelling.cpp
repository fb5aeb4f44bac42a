#include "spelling.h"

#include "config_dir.h"
#include "palnor_form.h"

#include <hunspell.hxx>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QSyntaxHighlighter>
#include <QTextBlock>

namespace {
// Where Debian's dictionary packages put their dictionaries (hunspell-en-us and the like).
const char* const DictionaryFolders[] = {"/usr/share/hunspell", "/usr/share/myspell/dicts"};
constexpr int MaxSuggestions = 7;

QString DictionaryPath(const QString& Language, const char* Suffix) {
    for (const char* folder : DictionaryFolders) {
        const QString path = QString::fromLatin1(folder) + u'/' + Language + QString::fromLatin1(Suffix);
        if (QFileInfo::exists(path)) return path;
    }
    return {};
}

bool Apostrophe(QChar C) { return C == u'\'' || C == QChar(0x2019); }

// A link, a mail address or a [reference]: a run between blanks that is not prose.
bool NotProse(QStringView Run) {
    return Run.contains(u"://") || Run.startsWith(u"www.", Qt::CaseInsensitive) || Run.contains(u'@') ||
           Run.startsWith(u'[') || Run.contains(u'/');
}

// Underlines the unknown words of each paragraph as the user types.
class TSpellHighlighter : public QSyntaxHighlighter {
public:
    TSpellHighlighter(QTextDocument* Document, TSpelling& Spelling) : QSyntaxHighlighter(Document), Spelling_(Spelling) {
        Format_.setUnderlineStyle(QTextCharFormat::SpellCheckUnderline);
        Format_.setUnderlineColor(Qt::red);
    }

protected:
    void highlightBlock(const QString& Text) override {
        for (const TTextSpan& word : Spelling_.UnknownWords(Text)) setFormat(int(word.Start), int(word.Length), Format_);
    }

private:
    TSpelling& Spelling_;
    QTextCharFormat Format_;
};
}  // namespace

TSpelling::TSpelling(TPalnorForm& Form) : QObject(&Form), Form_(Form) {
    QFile words(WordsFile());
    if (words.open(QIODevice::ReadOnly))
        for (const QByteArray& line : words.readAll().split('\n'))
            if (const QString word = QString::fromUtf8(line).trimmed(); !word.isEmpty()) MyWords_.insert(word);
    Highlighter_ = new TSpellHighlighter(Form.SendMemo->document(), *this);
    Form.SendMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Form.SendMemo, &QWidget::customContextMenuRequested, this, &TSpelling::ContextMenu);
    // A name in the user list is never marked: it is read again when the list changes.
    QAbstractItemModel* users = Form.lbUsers->model();
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(users, signal, this, [this] { NamesStale_ = true; });
    connect(users, &QAbstractItemModel::modelReset, this, [this] { NamesStale_ = true; });
}

TSpelling::~TSpelling() = default;

QStringList TSpelling::Languages() {
    QStringList found;
    for (const char* folder : DictionaryFolders)
        for (const QFileInfo& dic : QDir(QString::fromLatin1(folder)).entryInfoList({QStringLiteral("*.dic")}, QDir::Files))
            if (QFileInfo::exists(dic.path() + u'/' + dic.completeBaseName() + QStringLiteral(".aff")) &&
                !found.contains(dic.completeBaseName()))
                found << dic.completeBaseName();
    found.sort();
    return found;
}

QString TSpelling::DefaultLanguage() {
    const QStringList installed = Languages();
    const QString own = QLocale().name();
    for (const QString& language : {own, own.section(u'_', 0, 0), QStringLiteral("en_US")})
        if (installed.contains(language)) return language;
    return installed.value(0);
}

QString TSpelling::WordsFile() { return ConfigDir() + QStringLiteral("/MyWords.txt"); }

void TSpelling::SetEnabled(bool On) {
    if (std::exchange(Enabled_, On) != On) Highlighter_->rehighlight();
}

bool TSpelling::SetLanguage(const QString& Language) {
    if (Language == Language_ && Dictionary_) return true;
    Language_ = Language;
    Dictionary_.reset();
    Cache_.clear();
    const QString aff = DictionaryPath(Language, ".aff"), dic = DictionaryPath(Language, ".dic");
    if (!aff.isEmpty() && !dic.isEmpty()) {
        Dictionary_ = std::make_unique<Hunspell>(QFile::encodeName(aff).constData(), QFile::encodeName(dic).constData());
        Utf8_ = QString::fromStdString(Dictionary_->get_dict_encoding()).compare(QStringLiteral("UTF-8"), Qt::CaseInsensitive) == 0;
    }
    Highlighter_->rehighlight();
    return Dictionary_ != nullptr;
}

const QSet<QString>& TSpelling::UserNames() {
    if (!std::exchange(NamesStale_, false)) return Names_;
    Names_.clear();
    for (int i = 0; i < Form_.lbUsers->count(); ++i)
        for (const QString& part : Form_.lbUsers->item(i)->text().split(u'-', Qt::SkipEmptyParts))
            Names_.insert(part.trimmed().toLower());
    return Names_;
}

QList<TTextSpan> TSpelling::UnknownWords(const QString& Text) {
    QList<TTextSpan> unknown;
    if (!Enabled_ || !Dictionary_) return unknown;
    for (qsizetype at = 0; at < Text.size();) {
        if (Text[at].isSpace()) {
            ++at;
            continue;
        }
        qsizetype end = at;
        while (end < Text.size() && !Text[end].isSpace()) ++end;
        const QStringView run = QStringView(Text).sliced(at, end - at);
        // Within a run of prose: words of letters (an apostrophe inside one belongs to it).
        for (qsizetype w = 0; !NotProse(run) && w < run.size();) {
            if (!run[w].isLetterOrNumber()) {
                ++w;
                continue;
            }
            qsizetype e = w;
            bool digits = false;
            while (e < run.size() && (run[e].isLetterOrNumber() || (Apostrophe(run[e]) && e + 1 < run.size() && run[e + 1].isLetter()))) {
                digits = digits || run[e].isDigit();
                ++e;
            }
            const QString word = run.sliced(w, e - w).toString();
            if (!digits && !Known(word)) unknown.append({at + w, e - w});
            w = e;
        }
        at = end;
    }
    return unknown;
}

bool TSpelling::Known(const QString& Word) {
    if (!Dictionary_ || MyWords_.contains(Word) || UserNames().contains(Word.toLower())) return true;
    if (const auto cached = Cache_.constFind(Word); cached != Cache_.constEnd()) return *cached;
    bool known = true;  // a word the dictionary's code cannot hold is not judged
    if (Utf8_)
        known = Dictionary_->spell(Word.toStdString());
    else if (const QByteArray latin = Word.toLatin1(); QString::fromLatin1(latin) == Word)
        known = Dictionary_->spell(latin.toStdString());
    Cache_.insert(Word, known);
    return known;
}

QStringList TSpelling::Suggestions(const QString& Word) {
    QStringList found;
    if (!Dictionary_) return found;
    for (const std::string& s : Dictionary_->suggest(Utf8_ ? Word.toStdString() : Word.toLatin1().toStdString()))
        if (found.size() < MaxSuggestions) found << (Utf8_ ? QString::fromStdString(s) : QString::fromLatin1(s.data(), qsizetype(s.size())));
    return found;
}

bool TSpelling::AddWord(const QString& Word, QString* Error) {
    MyWords_.insert(Word);
    Highlighter_->rehighlight();
    QDir().mkpath(QFileInfo(WordsFile()).path());
    QFile words(WordsFile());
    if (words.open(QIODevice::Append) && words.write(Word.toUtf8() + '\n') > 0 && words.flush()) return true;
    if (Error) *Error = words.errorString();
    return false;
}

// Suggestions and "Add to my words" for an unknown word under the pointer, above the usual entries.
void TSpelling::ContextMenu(const QPoint& Pos) {
    QPlainTextEdit* pane = Form_.SendMemo;
    QMenu* menu = pane->createStandardContextMenu(Pos);
    const QTextCursor at = pane->cursorForPosition(Pos);
    const QTextBlock block = at.block();
    for (const TTextSpan& word : UnknownWords(block.text())) {
        if (at.positionInBlock() < word.Start || at.positionInBlock() > word.Start + word.Length) continue;
        const QString text = block.text().mid(word.Start, word.Length);
        QAction* first = menu->actions().value(0);
        auto entry = [&](const QString& Label) {
            auto* action = new QAction(Label, menu);
            menu->insertAction(first, action);
            return action;
        };
        const QStringList suggestions = Suggestions(text);
        for (const QString& s : suggestions)
            connect(entry(s), &QAction::triggered, this, [pane, block, word, s] {
                QTextCursor replace(block);
                replace.setPosition(block.position() + int(word.Start));
                replace.setPosition(block.position() + int(word.Start + word.Length), QTextCursor::KeepAnchor);
                replace.insertText(s);
                pane->setFocus();
            });
        if (suggestions.isEmpty()) entry(QStringLiteral("(no suggestions)"))->setEnabled(false);
        connect(entry(QStringLiteral("Add to my words")), &QAction::triggered, this, [this, text] {
            if (QString error; !AddWord(text, &error))
                Form_.statusBar()->showMessage(QStringLiteral("\"%1\" is known until the program ends, but could not be stored in %2: %3")
                                                   .arg(text, WordsFile(), error));
        });
        menu->insertSeparator(first);
        break;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(pane->viewport()->mapToGlobal(Pos));
}
