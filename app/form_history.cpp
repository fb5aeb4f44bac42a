// The history page: a snapshot of the conversation, saved to a file or, for a mouse selection,
// printed through the memo print control. The page is made when it is first shown.
#include "chat_pane.h"
#include "codepage.h"
#include "dialogs.h"
#include "memo_print.h"
#include "palnor_form.h"
#include "printer.h"

#include <QDate>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QVBoxLayout>

#include <utility>

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

// The page is built the first time it is shown, with the print memo behind it.
void TPalnorForm::BuildHistoryPage() {
    if (Memo1) return;
    auto* historyLayout = new QVBoxLayout(TabSheet3);
    historyLayout->setContentsMargins(0, 0, 0, 0);
    auto* panel2 = new QWidget;
    panel2->setFixedHeight(33);
    auto* panel2Layout = new QHBoxLayout(panel2);
    panel2Layout->setContentsMargins(4, 2, 4, 2);
    Button3 = new QPushButton(QStringLiteral("Print Selected text"));
    Button4 = new QPushButton(QStringLiteral("Save All to file"));
    ShowLogButton = new QPushButton(QStringLiteral("Show log"));
    ShowLogButton->setToolTip(QStringLiteral("Shows a day's conversation log, also of earlier sessions"));
    panel2Layout->addWidget(Button3);
    panel2Layout->addWidget(Button4);
    panel2Layout->addWidget(ShowLogButton);
    panel2Layout->addStretch();
    Memo1 = new QPlainTextEdit;
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* sourceLayout = new QHBoxLayout;
    sourceLayout->setContentsMargins(4, 0, 4, 2);
    HistorySource = new QLabel;
    QFont sourceFont = HistorySource->font();
    sourceFont.setBold(true);
    HistorySource->setFont(sourceFont);
    HistoryBack = new QPushButton(QStringLiteral("Show the conversation"));
    HistoryNote = new QLabel;
    HistoryNote->setWordWrap(true);
    sourceLayout->addWidget(HistorySource);
    sourceLayout->addWidget(HistoryBack);
    sourceLayout->addWidget(HistoryNote, 1);
    historyLayout->addWidget(panel2);
    historyLayout->addLayout(sourceLayout);
    historyLayout->addWidget(Memo1, 1);

    // A page never shown: the memo the history page prints from.
    auto* printLayout = new QVBoxLayout(TabSheet5);
    Memo2 = new QPlainTextEdit;
    printLayout->addWidget(Memo2);
    MemoPrint1 = new TMemoPrint(TabSheet5);
    MemoPrint1->BeginLoading();
    MemoPrint1->SetZoomLocation(zlCenter);
    MemoPrint1->SetAsgnMemo(Memo2);
    MemoPrint1->SetMeasureUnit(muMillimeters);
    MemoPrint1->SetMarginTop(25.0);
    MemoPrint1->SetMarginBottom(25.0);
    MemoPrint1->SetMarginLeft(25.0);
    MemoPrint1->SetMarginRight(25.0);
    for (auto set : {&TCustomListPrint::SetFont, &TCustomListPrint::SetHeaderFont,
                     &TCustomListPrint::SetFooterFont})
        (MemoPrint1->*set)(QFont(QStringLiteral("Arial")));
    MemoPrint1->SetPageBorderOffset(1.5);
    MemoPrint1->SetPrintTitle(QStringLiteral("Listprinting"));
    MemoPrint1->SetRegistryKey(QStringLiteral("Software\\Quintor\\ListPrint"));
    MemoPrint1->SetUseRegistry(false);
    MemoPrint1->SetWordWrap(true);  // a printed conversation keeps every character of a long line
    MemoPrint1->Loaded();
    printLayout->addWidget(MemoPrint1);


    connect(Button3, &QPushButton::clicked, this, Guard(&TPalnorForm::Button3Click));
    connect(Button4, &QPushButton::clicked, this, Guard(&TPalnorForm::Button4Click));
    connect(ShowLogButton, &QPushButton::clicked, this, Guard(&TPalnorForm::ShowLogClick));
    connect(HistoryBack, &QPushButton::clicked, this, Guard(&TPalnorForm::TabSheet3Show));
    Memo1->viewport()->installEventFilter(this);
    // A selection made with the keyboard counts as well: what the user sees selected is printed.
    connect(Memo1, &QPlainTextEdit::selectionChanged, this, [this] {
        if (Memo1->textCursor().hasSelection()) Memo1MouseUp();
    });
    const std::pair<QWidget*, const char*> names[] = {{Memo1, "History"}, {Memo2, "Text to print"}, {MemoPrint1, "Print preview"}};
    for (const auto& [widget, name] : names) widget->setAccessibleName(QString::fromLatin1(name));
    HistoryNote->setAccessibleDescription(QStringLiteral("About the history text"));  // its name is its text
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
    // The text as the pane holds it, lines separated by CR LF, in the code ToTextFile chooses.
    // Written beside the target and then put in its place, so a failed write loses no earlier file.
    QString text = PaneText(*Memo1);
    text.replace(u'\n', QStringLiteral("\r\n"));
    bool utf8 = false;
    const std::string bytes = ToTextFile(text, &utf8);
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
