#include "conveniences.h"

#include "chat_pane.h"
#include "chat_protocol.h"
#include "find.h"
#include "ignoring.h"
#include "palnor_form.h"
#include "profile.h"
#include "settings_values.h"
#include "spelling.h"
#include "tray.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QScrollArea>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QAbstractItemView>

namespace {
const QString Section = QStringLiteral("FORM");
}  // namespace

TConveniences::TConveniences(TPalnorForm& Form) : QObject(&Form), Form_(Form) {
    Ignoring = new TIgnoring(Form);
    Tray = new TTray(Form);
    Spelling = new TSpelling(Form);
    BuildSettings();
    WireFind();
}

// The boxes go into a group of their own below the page's other groups, in the area that
// scrolls when the window is too small for them.
void TConveniences::BuildSettings() {
    auto* group = new QGroupBox;
    auto* layout = new QGridLayout(group);
    cbFind = new QCheckBox(QStringLiteral("Find in the conversation with Ctrl+F"));
    cbIgnore = new QCheckBox(QStringLiteral("Hide lines from users I ignore"));
    cbTray = new QCheckBox(QStringLiteral("Keep running in the tray when the window is closed"));
    cbSpell = new QCheckBox(QStringLiteral("Check spelling while typing"));
    SpellLanguage = new QComboBox;
    SpellLanguage->addItems(TSpelling::Languages());
    SpellLanguage->setAccessibleName(QStringLiteral("Spelling language"));
    SpellLanguage->view()->setAccessibleName(QStringLiteral("Installed languages"));
    SpellLanguage->setEnabled(SpellLanguage->count() > 0);
    if (SpellLanguage->count() == 0) SpellLanguage->addItem(QStringLiteral("no dictionary installed"));
    auto* ignored = new QLabel(QStringLiteral("Ignored (right-click a user or a line's sender; here to stop):"));
    ignored->setWordWrap(true);
    auto* language = new QFormLayout;
    language->addRow(QStringLiteral("Language"), SpellLanguage);
    layout->addWidget(cbFind, 0, 0);
    layout->addWidget(cbIgnore, 1, 0);
    layout->addWidget(ignored, 2, 0);
    layout->addWidget(Ignoring->List, 3, 0);
    layout->addWidget(cbTray, 0, 1);
    layout->addWidget(cbSpell, 1, 1);
    layout->addLayout(language, 2, 1);
    layout->setRowStretch(4, 1);
    if (auto* area = Form_.TabSheet4->findChild<QScrollArea*>()) {
        auto* column = new QWidget;
        auto* rows = new QVBoxLayout(column);
        rows->setContentsMargins(0, 0, 0, 0);
        rows->addWidget(area->takeWidget());
        rows->addWidget(group, 0, Qt::AlignLeft);
        rows->addStretch();
        area->setWidget(column);
    } else {
        Form_.TabSheet4->layout()->addWidget(group);
    }

    connect(cbFind, &QCheckBox::toggled, this, [this](bool On) {
        if (!On) ChatFind->Close();
        if (!On && HistoryFind) HistoryFind->Close();
    });
    connect(cbIgnore, &QCheckBox::toggled, this, [this](bool On) { Ignoring->SetEnabled(On); });
    connect(cbTray, &QCheckBox::toggled, this, [this](bool On) { Tray->SetEnabled(On); });
    connect(cbSpell, &QCheckBox::toggled, this, [this](bool On) { Spelling->SetEnabled(On); });
    connect(SpellLanguage, &QComboBox::currentTextChanged, this, [this](const QString& L) { Spelling->SetLanguage(L); });
}

// Ctrl+F on the chat page and the History page opens the bar under its pane; F3 and Shift+F3
// go on from anywhere on the page.
void TConveniences::WireFind() {
    ChatFind = new TFindBar(Form_.DisplayMemo);
    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Form_.Splitter2->replaceWidget(0, pane);
    layout->addWidget(Form_.DisplayMemo, 1);
    layout->addWidget(ChatFind);
    Form_.DisplayMemo->show();
    for (QWidget* page : {Form_.TabSheet1, Form_.TabSheet3}) {
        auto shortcut = [this, page](const QKeySequence& Keys, void (TFindBar::*Action)()) {
            auto* s = new QShortcut(Keys, page, this, [this, Action] {
                if (TFindBar* bar = PageFind(); bar && cbFind->isChecked() && (Action == &TFindBar::Open || bar->isVisible()))
                    (bar->*Action)();
            });
            s->setContext(Qt::WidgetWithChildrenShortcut);
        };
        shortcut(QKeySequence::Find, &TFindBar::Open);
        shortcut(QKeySequence(Qt::Key_F3), &TFindBar::Next);
        shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), &TFindBar::Previous);
    }
    // The History page is made when first shown; its bar with it.
    connect(Form_.PageControl1, &QStackedWidget::currentChanged, this, [this] {
        if (HistoryFind || !Form_.Memo1) return;
        HistoryFind = new TFindBar(Form_.Memo1);
        Form_.TabSheet3->layout()->addWidget(HistoryFind);
    });
}

TFindBar* TConveniences::PageFind() const {
    const QWidget* page = Form_.PageControl1->currentWidget();
    return page == Form_.TabSheet1 ? ChatFind : page == Form_.TabSheet3 ? HistoryFind : nullptr;
}

void TConveniences::KeepPage() { StoredLanguage_ = SpellLanguage->currentText(); }

void TConveniences::RestorePage() {
    if (SpellLanguage->isEnabled()) SpellLanguage->setCurrentText(StoredLanguage_);
}

void TConveniences::Load(const TProfileFile& File) {
    auto boolean = [&](const char* Key, bool Default) {
        const QString text = File.ReadString(Section, QString::fromLatin1(Key), QString());
        return text.isEmpty() ? Default : ParseSettingInteger(text, Default ? 1 : 0) != 0;
    };
    cbFind->setChecked(boolean("Find", true));
    cbIgnore->setChecked(boolean("Ignore", true));
    Ignoring->SetCalls(File.ReadString(Section, QStringLiteral("Ignored"), QString()).split(u',', Qt::SkipEmptyParts));
    cbTray->setChecked(boolean("Tray", false));
    cbSpell->setChecked(boolean("SpellCheck", true));
    // A language no longer installed gives way to the default one.
    const QString language = File.ReadString(Section, QStringLiteral("SpellLanguage"), QString());
    const QStringList installed = TSpelling::Languages();
    SpellLanguage->setCurrentText(installed.contains(language) ? language : TSpelling::DefaultLanguage());
    Spelling->SetLanguage(SpellLanguage->isEnabled() ? SpellLanguage->currentText() : QString());
}

void TConveniences::Save(TProfileFile& File) const {
    auto put = [&](const char* Key, const QString& Value) { File.WriteString(Section, QString::fromLatin1(Key), Value); };
    auto flag = [](const QCheckBox* Box) { return Box->isChecked() ? QStringLiteral("1") : QStringLiteral("0"); };
    put("Find", flag(cbFind));
    put("Ignore", flag(cbIgnore));
    put("Ignored", Ignoring->Calls().join(u','));
    put("Tray", flag(cbTray));
    put("SpellCheck", flag(cbSpell));
    put("SpellLanguage", SpellLanguage->isEnabled() ? SpellLanguage->currentText() : QString());
}

bool TConveniences::HideChatLine(const TChatLine& Line, bool Own) {
    const auto stamp = [this] { return ChatTimeStamp(Form_.ChatClock(), TimeSeparatorOf(QLocale().timeFormat(QLocale::ShortFormat))); };
    if (Ignoring->Hide(Line.Sender, Line.Message, Own, stamp)) return true;
    Tray->ChatLine(Own);
    return false;
}
