#pragma once
// The chat page's second round of conveniences, each a room of its own (find, ignoring users,
// the tray icon, spell checking): this joins them to the window. It makes their boxes on the
// Settings page, reads and writes their keys in CL.ini after the window's own, and lets each
// chat line pass them before it is shown.
#include <QList>
#include <QObject>

class QCheckBox;
class QComboBox;
class TFindBar;
class TIgnoring;
class TPalnorForm;
class TProfileFile;
class TSpelling;
class TTray;
struct TChatLine;

class TConveniences : public QObject {
public:
    explicit TConveniences(TPalnorForm& Form);

    // The Settings page's boxes, the language beside them as last stored, and the keys.
    QList<QCheckBox*> Boxes() const { return {cbFind, cbIgnore, cbTray, cbSpell}; }
    void KeepPage();
    void RestorePage();
    void Load(const TProfileFile& File);
    void Save(TProfileFile& File) const;

    // A chat line about to be shown: true when it is hidden (its sender is ignored).
    bool HideChatLine(const TChatLine& Line, bool Own);

    TFindBar* ChatFind = nullptr;
    TFindBar* HistoryFind = nullptr;  // made with the History page
    TIgnoring* Ignoring = nullptr;
    TTray* Tray = nullptr;
    TSpelling* Spelling = nullptr;
    QCheckBox* cbFind = nullptr;
    QCheckBox* cbIgnore = nullptr;
    QCheckBox* cbTray = nullptr;
    QCheckBox* cbSpell = nullptr;
    QComboBox* SpellLanguage = nullptr;

private:
    void BuildSettings();
    void WireFind();
    TFindBar* PageFind() const;  // the find bar of the page shown, if it has one

    TPalnorForm& Form_;
    QString StoredLanguage_;
};
