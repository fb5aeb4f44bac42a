#pragma once
// The one place that shows message boxes and common dialogs. Tests install their own TDialogs to
// read the texts and give the answers, so no modal window ever waits in an offscreen test.
#include <QColor>
#include <QFont>
#include <QString>

#include <optional>

class QWidget;

// A font as the font dialog confirms it, with the colour its text is drawn in.
struct TFontChoice {
    QFont Font;
    QColor Color;
};

class TDialogs {
public:
    virtual ~TDialogs() = default;
    virtual void MessageBox(QWidget* Parent, const QString& Text);
    // A warning with two answers: true for the one named AcceptText, false for Cancel.
    virtual bool Confirm(QWidget* Parent, const QString& Text, const QString& AcceptText);
    // The font dialog, with a button that picks the font's colour.
    virtual std::optional<TFontChoice> ChooseFont(QWidget* Parent, const TFontChoice& Initial);
    virtual std::optional<QColor> ChooseColor(QWidget* Parent, const QColor& Initial);
    // Default extension and filter as the save dialog shows them ("txt", "Text file (*.txt)"),
    // and the file name it proposes.
    virtual std::optional<QString> ChooseSaveFile(QWidget* Parent, const QString& DefaultSuffix,
                                                  const QString& Filter, const QString& Proposed);
    // An existing file, starting at Proposed (a file or its folder).
    virtual std::optional<QString> ChooseOpenFile(QWidget* Parent, const QString& Proposed,
                                                  const QString& Filter);
};

TDialogs& Dialogs();
void SetDialogs(TDialogs* Replacement);  // null restores the real dialogs
