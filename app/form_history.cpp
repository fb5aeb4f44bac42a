// The history page: a snapshot of the conversation, saved to a file or, for a mouse selection,
// printed through the memo print control.
#include "chat_pane.h"
#include "codepage.h"
#include "dialogs.h"
#include "memo_print.h"
#include "palnor_form.h"
#include "printer.h"

#include <QDate>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QPlainTextEdit>
#include <QSaveFile>

namespace {
bool blank(const QString& Text) {
    for (QChar c : Text)
        if (c.unicode() > 32) return false;
    return true;
}
}  // namespace

// Where the print goes: the system's default printer, or a PDF file named by the environment.
TPrinter* TPalnorForm::HistoryPrinter() {
    if (!HistoryPrinter_) {
        const QString pdf = qEnvironmentVariable("KORVELCHAT_PRINT_PDF");
        HistoryPrinter_ = pdf.isEmpty() ? std::make_unique<TQtPrinter>()
                                        : std::make_unique<TQtPrinter>(ptPdfFile, pdf);
    }
    return HistoryPrinter_.get();
}

void TPalnorForm::TabSheet3Show() {
    QPalette p = Memo1->palette();
    p.setColor(QPalette::Base, DisplayMemo->palette().color(QPalette::Base));
    p.setColor(QPalette::Text, DisplayMemo->palette().color(QPalette::Text));
    Memo1->setPalette(p);
    Memo1->setFont(DisplayMemo->font());
    Memo2->clear();
    Memo1->setPlainText(PaneText(*DisplayMemo));
    ShowHistorySource(QStringLiteral("Conversation"),
                      QStringLiteral("A copy of the conversation: edit it before saving or printing; it is "
                                     "taken anew each time this page is shown"));
}

// Which text the page holds, what edits to it do, and the way back when it is not the
// conversation.
void TPalnorForm::ShowHistorySource(const QString& Source, const QString& Note) {
    HistorySource->setText(Source);
    HistoryNote->setText(Note);
    HistoryBack->setVisible(Source != QStringLiteral("Conversation"));
}

void TPalnorForm::Memo1MouseUp() {
    Memo2->clear();
    const QString selected = Memo1->textCursor().selectedText().replace(QChar::ParagraphSeparator, u'\n');
    if (!blank(selected)) Memo2->setPlainText(selected);
}

void TPalnorForm::Button3Click() {
    if (blank(PaneText(*Memo2))) {
        Dialogs().MessageBox(this, QStringLiteral("NOTHING SELECTED !!"));
        return;
    }
    Memo2->resize(Memo1->width(), Memo2->height());
    MemoPrint1->SetHeaderText(QStringLiteral("KORVEL CHAT 2"));
    QFont header = MemoPrint1->HeaderFont();
    header.setPointSize(12);
    MemoPrint1->SetHeaderFont(header);
    MemoPrint1->SetFont(Memo1->font());
    MemoPrint1->SetPrinter(HistoryPrinter());
    MemoPrint1->LoadFromMemo();
    if (!HistoryPrinter()->Available())
        throw Exception(
            "No printer is available. To print to a PDF file instead, start the program with "
            "KORVELCHAT_PRINT_PDF set to the file's name.");
    MemoPrint1->Print();
    const QString pdf = qEnvironmentVariable("KORVELCHAT_PRINT_PDF");
    if (!pdf.isEmpty()) statusBar()->showMessage(QStringLiteral("Printed to %1").arg(pdf));
}

void TPalnorForm::Button4Click() {
    const QString proposed = QStringLiteral("KorvelChat-%1.txt").arg(QDate::currentDate().toString(Qt::ISODate));
    const auto file = Dialogs().ChooseSaveFile(this, QStringLiteral("txt"), QStringLiteral("Text file (*.txt)"), proposed);
    if (!file) return;
    // The text as the pane holds it, lines separated by CR LF: in Windows-1252, which readers of
    // plain text files expect, unless it holds a character Windows-1252 cannot carry; then the
    // whole file is UTF-8, so nothing turns into "?". Written beside the target and then put in
    // its place, so a failed write loses no earlier file.
    QString text = PaneText(*Memo1);
    text.replace(u'\n', QStringLiteral("\r\n"));
    const bool utf8 = !NotInAnsi(text).isEmpty();
    const std::string bytes = utf8 ? text.toUtf8().toStdString() : ToAnsi(text);
    QSaveFile out(*file);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) ||
        !out.commit()) {
        Dialogs().MessageBox(this, QStringLiteral("Cannot write %1: %2").arg(*file, out.errorString()));
        return;
    }
    statusBar()->showMessage(QStringLiteral("The history was saved to %1 (%2)")
                                 .arg(*file, utf8 ? QStringLiteral("UTF-8") : QStringLiteral("Windows-1252")));
    ShowPage(TabSheet1);
}
