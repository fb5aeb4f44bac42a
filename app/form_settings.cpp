// Settings: "CL.ini" read when the window is made and written by OK on the settings page and
// when the window closes; the settings page's OK and Cancel; the fonts and colours of the two
// panes; stay on top.
#include "chat_pane.h"
#include "config_dir.h"
#include "application.h"
#include "conveniences.h"
#include "dialogs.h"
#include "palnor_form.h"
#include "profile.h"
#include "proxy_section.h"
#include "settings_values.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <utility>

namespace {

const QString Section = QStringLiteral("FORM");
const QString FirstRunHint = QStringLiteral("Fill in your call sign and name, press OK, then Connect on the chat page.");

int FontStyleBits(const QFont& F) {
    return (F.bold() ? 1 : 0) | (F.italic() ? 2 : 0) | (F.underline() ? 4 : 0) |
           (F.strikeOut() ? 8 : 0);
}

void SetFontStyleBits(QFont& F, int Bits) {
    F.setBold(Bits & 1);
    F.setItalic(Bits & 2);
    F.setUnderline(Bits & 4);
    F.setStrikeOut(Bits & 8);
}

class TSettingsReader {
public:
    explicit TSettingsReader(const TProfileFile& File) : File_(File) {}
    QString String(const char* Key, const QString& Default) const {
        return File_.ReadString(Section, QString::fromLatin1(Key), Default);
    }
    int32_t Integer(const char* Key, int32_t Default) const {
        const QString text = String(Key, QString());
        return text.isEmpty() ? Default : ParseSettingInteger(text, Default);
    }
    bool Boolean(const char* Key, bool Default) const { return Integer(Key, Default ? 1 : 0) != 0; }

private:
    const TProfileFile& File_;
};

}  // namespace

QString TPalnorForm::SettingsPath() {
    const QString dir = ConfigDir();
    QDir().mkpath(dir);
    return dir + QStringLiteral("/CL.ini");
}

void TPalnorForm::SetSendMemoHeight(int Height) {
    SendMemoHeight_ = Height;
    const int total = Splitter2->height();
    if (total > Height) Splitter2->setSizes({total - Height - Splitter2->handleWidth(), Height});
}

void TPalnorForm::SetPanel4Width(int Width) {
    Panel4Width_ = Width;
    const int total = Splitter1->width();
    if (total > Width) Splitter1->setSizes({Width, total - Width - Splitter1->handleWidth()});
}

int TPalnorForm::SendMemoHeight() const { return isVisible() ? SendMemo->height() : SendMemoHeight_; }
int TPalnorForm::Panel4Width() const { return isVisible() ? Panel4->width() : Panel4Width_; }

void TPalnorForm::ApplyPaneLook(QWidget* Pane, int32_t Background, int32_t FontColor) {
    QPalette p = Pane->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Base, ColorFromValue(Background));
        p.setColor(group, QPalette::Text, ColorFromValue(FontColor));
    }
    Pane->setPalette(p);
}

void TPalnorForm::LoadSettings() {
    TProfileFile file(SettingsPath());
    const TSettingsReader ini(file);

    // The window never gets smaller than its pages need to show their texts whole (the layout
    // sees to that). Without a stored size it opens at a comfortable one, and without a stored
    // position centred on the screen.
    const bool sized = !ini.String("Width", {}).isEmpty() || !ini.String("Height", {}).isEmpty();
    const bool placed = !ini.String("Left", {}).isEmpty() || !ini.String("Top", {}).isEmpty();
    const QSize size = sized ? QSize(ini.Integer("Width", 300), ini.Integer("Height", 200))
                             : QSize(720, 520).expandedTo(minimumSizeHint());
    resize(size);
    if (placed) {
        move(ini.Integer("Left", 0), ini.Integer("Top", 0));
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size);
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    PortEdit->setText(ini.String("Port", QStringLiteral("1024")));
    HostEdit->setText(ini.String("Host", QStringLiteral("localhost")));
    edHost->setText(HostEdit->text());
    edPort->setText(PortEdit->text());
    CheckBox1->setChecked(ini.Boolean("ontop", false));
    edUser->setText(ini.String("User", QString()));
    edName->setText(ini.String("Name", QString()));
    SetSendMemoHeight(ini.Integer("SendMemoH", 40));
    // A first run shows the user list as designed, wide enough for a call sign and a name.
    SetPanel4Width(ini.Integer("Panel4W", sized ? 40 : 112));
    CheckBox2->setChecked(ini.Boolean("sound", false));
    cbAttention->setChecked(ini.Boolean("Attention", true));
    cbLog->setChecked(ini.Boolean("ConversationLog", true));
    cbSendUtf8->setChecked(ini.Boolean("SendUTF8", false));
    cbReconnect->setChecked(ini.Boolean("Reconnect", true));
    cbHighlight->setChecked(ini.Boolean("Highlight", true));
    cbJoins->setChecked(ini.Boolean("JoinsLeaves", true));
    cbLinks->setChecked(ini.Boolean("Links", true));
    cbRecall->setChecked(ini.Boolean("Recall", true));
    cbUtc->setChecked(ini.Boolean("UTC", false));
    cbUserTools->setChecked(ini.Boolean("UserTools", true));
    cbTls->setChecked(ini.Boolean("TLS", false));
    Conveniences->Load(file);

    auto loadPane = [&](QWidget* pane, const char* prefix, int32_t& background,
                        int32_t& fontColor) {
        const QString p = QString::fromLatin1(prefix);
        auto key = [&](const char* k) { return (p + QString::fromLatin1(k)).toLatin1(); };
        QFont font = pane->font();
        SetFontStyleBits(font, TextToFontStyle(ini.String(key("FontStyle").constData(), QString())));
        font.setPointSize(ini.Integer(key("FontSize").constData(), 10));
        fontColor = ini.Integer(key("FontColor").constData(), 0);
        background = ini.Integer(key("Color").constData(), SystemWindowColor);
        SetDesignFamily(font, ini.String(key("FontName").constData(), QStringLiteral("Ms Sans Serif")));
        pane->setFont(font);
        ApplyPaneLook(pane, background, fontColor);
    };
    loadPane(DisplayMemo, "DM", DisplayMemoColor, DisplayMemoFontColor);
    loadPane(SendMemo, "SM", SendMemoColor, SendMemoFontColor);
    Proxy_ = ReadProxySettings(file, ProxyPasswordPath());
    ProxyBox->SetSettings(Proxy_);

    KeepSettingsPage();
}

bool TPalnorForm::SaveSettings(QString* Error) {
    TProfileFile file(SettingsPath());
    auto put = [&](const char* key, const QString& value) {
        file.WriteString(Section, QString::fromLatin1(key), value);
    };
    auto putInt = [&](const char* key, long long value) { put(key, QString::number(value)); };
    // Where the user sees the window's frame. Once "Stay on top" has recreated the native
    // window, the widget's own frame position may lag behind what the window system reports.
    const QPoint frame = windowHandle() ? windowHandle()->framePosition() : pos();
    putInt("Top", frame.y());
    putInt("Left", frame.x());
    putInt("Height", height());
    putInt("Width", width());
    put("Port", PortEdit->text());
    put("Host", HostEdit->text());
    put("User", edUser->text());
    put("Name", edName->text());
    putInt("OnTop", CheckBox1->isChecked() ? 1 : 0);
    putInt("SendMemoH", SendMemoHeight());
    putInt("Panel4W", Panel4Width());
    putInt("sound", CheckBox2->isChecked() ? 1 : 0);
    const QFont dm = DisplayMemo->font();
    put("DMFontStyle", FontStyleToText(FontStyleBits(dm)));
    putInt("DMFontSize", dm.pointSize());
    putInt("DMcolor", DisplayMemoColor);
    putInt("DMFontColor", DisplayMemoFontColor);
    put("DMFontName", DesignFamily(dm));
    const QFont sm = SendMemo->font();
    put("SMFontStyle", FontStyleToText(FontStyleBits(sm)));
    putInt("SMFontSize", sm.pointSize());
    putInt("SMcolor", SendMemoColor);
    putInt("SMFontColor", SendMemoFontColor);
    put("SMFontName", DesignFamily(sm));
    // Settings beyond the original file come last, so the original keys keep their order.
    putInt("Attention", cbAttention->isChecked() ? 1 : 0);
    putInt("ConversationLog", cbLog->isChecked() ? 1 : 0);
    putInt("SendUTF8", cbSendUtf8->isChecked() ? 1 : 0);
    putInt("Reconnect", cbReconnect->isChecked() ? 1 : 0);
    putInt("Highlight", cbHighlight->isChecked() ? 1 : 0);
    putInt("JoinsLeaves", cbJoins->isChecked() ? 1 : 0);
    putInt("Links", cbLinks->isChecked() ? 1 : 0);
    putInt("Recall", cbRecall->isChecked() ? 1 : 0);
    putInt("UTC", cbUtc->isChecked() ? 1 : 0);
    putInt("UserTools", cbUserTools->isChecked() ? 1 : 0);
    putInt("TLS", cbTls->isChecked() ? 1 : 0);
    Conveniences->Save(file);
    return WriteProxySettings(file, Proxy_, ProxyPasswordPath(), Error) && file.UpdateFile(Error);
}

// Beside CL.ini, never in it.
QString TPalnorForm::ProxyPasswordPath() {
    return QFileInfo(SettingsPath()).dir().filePath(QStringLiteral("proxy-password"));
}

// The proxy takes effect at the next Connect, like the server fields.
bool TPalnorForm::ApplyProxyFields() {
    const TProxySettings proxy = ProxyBox->Settings();
    const QString problem = ProxyProblem(proxy);
    if (!problem.isEmpty()) {
        ShowSettingsHint(problem);
        return false;
    }
    Proxy_ = proxy;
    return true;
}

// The page's boxes take effect as they are ticked; Cancel unticks them again.
void TPalnorForm::WireSettingsPage() {
    connect(CancelButton, &QPushButton::clicked, this, [this] { Guarded([this] { CancelSettingsClick(); }); });
    connect(PageControl1, &QStackedWidget::currentChanged, this, [this] {
        const bool now = PageControl1->currentWidget() == TabSheet4;
        if (std::exchange(OnSettingsPage_, now) && !now) RestoreSettingsPage();
    });
}

namespace {
QList<QCheckBox*> PageBoxes(const TPalnorForm& F) {
    return QList<QCheckBox*>{F.CheckBox1, F.CheckBox2, F.cbAttention, F.cbLog, F.cbSendUtf8, F.cbReconnect,
            F.cbHighlight, F.cbJoins, F.cbLinks, F.cbRecall, F.cbUtc, F.cbUserTools, F.cbTls} + F.Conveniences->Boxes();
}
}  // namespace

void TPalnorForm::KeepSettingsPage() {
    Stored_ = {edUser->text(), edName->text(), HostEdit->text(), PortEdit->text(), {}};
    for (const QCheckBox* box : PageBoxes(*this)) Stored_.Boxes << box->isChecked();
    Conveniences->KeepPage();
}

void TPalnorForm::RestoreSettingsPage() {
    edUser->setText(Stored_.User);
    edName->setText(Stored_.Name);
    edHost->setText(Stored_.Host);
    edPort->setText(Stored_.Port);
    ProxyBox->SetSettings(Proxy_);
    const QList<QCheckBox*> boxes = PageBoxes(*this);
    for (qsizetype i = 0; i < boxes.size(); ++i) boxes[i]->setChecked(Stored_.Boxes.value(i));
    Conveniences->RestorePage();
    ShowSettingsHint(QString());
}

bool TPalnorForm::StoreSettingsPage() {
    for (QLineEdit* field : {edUser, edName}) {
        if (!field->text().trimmed().isEmpty()) continue;
        ShowSettingsHint(field == edUser ? QStringLiteral("Enter a call sign: the others see you by it.")
                                         : QStringLiteral("Enter a name to go with the call sign."));
        field->setFocus();
        return false;
    }
    if (!ApplyServerFields() || !ApplyProxyFields()) return false;
    KeepSettingsPage();
    QString error;
    if (!SaveSettings(&error)) {
        // In use all the same; the note stays until the file can be written.
        ShowSettingsHint(QStringLiteral("The settings are in use but not stored: %1").arg(error));
        return false;
    }
    return true;
}

void TPalnorForm::CancelSettingsClick() {
    RestoreSettingsPage();
    ShowPage(TabSheet1);
}

// Without a stored call sign and name the chat page has nothing to connect with: the program
// opens on the settings page and says what comes next.
void TPalnorForm::ShowStartPage() {
    if (!Stored_.User.isEmpty() && !Stored_.Name.isEmpty()) {
        ShowPage(TabSheet1);
        return;
    }
    ShowPage(TabSheet4);
    ShowSettingsHint(FirstRunHint);
    (edUser->text().isEmpty() ? edUser : edName)->setFocus();
}

void TPalnorForm::FormClose() {
    // Edits on the settings page that OK did not take are not stored.
    if (PageControl1->currentWidget() == TabSheet4) RestoreSettingsPage();
    QString error;
    if (!SaveSettings(&error)) Dialogs().MessageBox(this, error);
}

// The font dialog also sets the colour the pane's text is drawn in.
void TPalnorForm::ChoosePaneFont(QWidget* Pane, int32_t Background, int32_t& FontColor) {
    const auto choice = Dialogs().ChooseFont(this, {Pane->font(), ColorFromValue(FontColor)});
    if (!choice) return;
    Pane->setFont(choice->Font);
    FontColor = ColorToValue(choice->Color);
    ApplyPaneLook(Pane, Background, FontColor);
}

void TPalnorForm::RecvWindow1Click() { ChoosePaneFont(DisplayMemo, DisplayMemoColor, DisplayMemoFontColor); }
void TPalnorForm::SendWindow1Click() { ChoosePaneFont(SendMemo, SendMemoColor, SendMemoFontColor); }

void TPalnorForm::RecvWindow2Click() {
    if (auto color = Dialogs().ChooseColor(this, ColorFromValue(DisplayMemoColor))) {
        DisplayMemoColor = ColorToValue(*color);
        ApplyPaneLook(DisplayMemo, DisplayMemoColor, DisplayMemoFontColor);
    }
}

void TPalnorForm::SendWindow2Click() {
    if (auto color = Dialogs().ChooseColor(this, ColorFromValue(SendMemoColor))) {
        SendMemoColor = ColorToValue(*color);
        ApplyPaneLook(SendMemo, SendMemoColor, SendMemoFontColor);
    }
}

void TPalnorForm::CheckBox1Click() {
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, CheckBox1->isChecked());
    if (visible) show();  // changing the flag hides the window
}
