// The window with the real message boxes and common dialogs on a real X server: closing a
// dialog destroys its window while it may still hold the focus, which an offscreen platform
// never shows. After each dialog the window is activated again: it must be alive and keep the
// text the user has not sent yet.
#include "form_support.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QProcess>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstring>
#include <memory>

namespace {

class RealDialogsTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        SetDialogs(nullptr);
        WriteSettings("[FORM]\r\nHost=no.such.host.invalid\r\nUser=C\r\nName=N\r\nWidth=500\r\nHeight=400\r\n");
        MakeForm();
        ActivateForm();
        QTest::keyClicks(Form->SendMemo, "unsent");
    }

    void ActivateForm() {
        Form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
        RunFor(50);
    }

    // Answers the next modal dialog other than Outer, once it holds the focus as a user's
    // dialog would.
    static void AnswerNextDialog(std::function<void(QWidget*)> Answer, QWidget* Outer = nullptr) {
        auto* poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, poll, [poll, Answer, Outer] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog == Outer) return;
            if (!dialog->isActiveWindow()) {
                dialog->activateWindow();
                return;
            }
            poll->stop();
            poll->deleteLater();
            Answer(dialog);
        });
        poll->start(20);
    }
    static void Press(QWidget* Dialog, Qt::Key Key) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : Dialog, Key);
    }
};

struct DialogCase {
    const char* Name;
    std::function<void(RealDialogsTest&, TPalnorForm&)> Open;  // shows the dialog and answers it
    std::function<void(TPalnorForm&)> Check;
};
void PrintTo(const DialogCase& c, std::ostream* os) { *os << c.Name; }

class RealDialogCase : public RealDialogsTest, public ::testing::WithParamInterface<DialogCase> {
public:
    using RealDialogsTest::AnswerNextDialog;
    using RealDialogsTest::Press;
    QString Folder() const { return Config.path(); }
};

TEST_P(RealDialogCase, TheWindowSurvivesAndKeepsTheUnsentText) {
    GetParam().Open(*this, *Form);
    ASSERT_TRUE(RunUntil([] { return QApplication::activeModalWidget() == nullptr; }, 10000));
    RunFor(100);
    ActivateForm();
    EXPECT_TRUE(Form->isVisible());
    EXPECT_EQ(Form->SendMemo->toPlainText(), "unsent") << "coming back from a dialog is no activation";
    GetParam().Check(*Form);
    // Going to another window of the program and back is one, and wipes the text.
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ActivateForm();
    EXPECT_EQ(Form->SendMemo->toPlainText(), "");
    EXPECT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, RealDialogCase,
    ::testing::Values(
        DialogCase{"NothingSelectedBox",
                   [](RealDialogsTest& t, TPalnorForm& f) {
                       f.History1Click();
                       RealDialogCase::AnswerNextDialog([](QWidget* d) {
                           EXPECT_EQ(d->windowTitle(), "KorvelChat 2");
                           RealDialogCase::Press(d, Qt::Key_Return);
                       });
                       f.Button3->click();
                   },
                   [](TPalnorForm& f) { EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet3); }},
        DialogCase{"ConnectErrorInThePaneNotInABox",
                   [](RealDialogsTest&, TPalnorForm& f) { f.ConnectButton->click(); },
                   [](TPalnorForm& f) {
                       EXPECT_EQ(f.Shape1->FillColor(), 255);
                       EXPECT_TRUE(f.DisplayMemo->toPlainText().startsWith("Could not find the host 'no.such.host.invalid'"));
                   }},
        DialogCase{"FontDialogCancelled",
                   [](RealDialogsTest&, TPalnorForm& f) {
                       RealDialogCase::AnswerNextDialog([](QWidget* d) { RealDialogCase::Press(d, Qt::Key_Escape); });
                       f.RecvWindow1Click();
                   },
                   [](TPalnorForm& f) { EXPECT_EQ(f.DisplayMemoFontColor, 0); }},
        DialogCase{"FontDialogWithItsColour",
                   [](RealDialogsTest&, TPalnorForm& f) {
                       RealDialogCase::AnswerNextDialog([](QWidget* font) {
                           RealDialogCase::AnswerNextDialog([](QWidget* colour) {
                               static_cast<QColorDialog*>(colour)->setCurrentColor(QColor(0, 0, 255));
                               static_cast<QDialog*>(colour)->accept();
                           }, font);
                           auto* pick = font->findChild<QPushButton*>("fontColour");
                           ASSERT_NE(pick, nullptr);
                           pick->click();
                           static_cast<QDialog*>(font)->accept();
                       });
                       f.RecvWindow1Click();
                   },
                   [](TPalnorForm& f) {
                       EXPECT_EQ(f.DisplayMemoFontColor, 0xFF0000);
                       EXPECT_EQ(f.DisplayMemo->palette().color(QPalette::Text), QColor(0, 0, 255));
                   }},
        DialogCase{"ColourDialogCancelled",
                   [](RealDialogsTest&, TPalnorForm& f) {
                       RealDialogCase::AnswerNextDialog([](QWidget* d) { RealDialogCase::Press(d, Qt::Key_Escape); });
                       f.SendWindow2Click();
                   },
                   [](TPalnorForm&) {}},
        DialogCase{"SaveDialog",
                   [](RealDialogsTest& t, TPalnorForm& f) {
                       const QString file = static_cast<RealDialogCase&>(t).Folder() + "/saved";
                       f.History1Click();
                       RealDialogCase::AnswerNextDialog([file](QWidget* d) {
                           auto* name = d->findChild<QLineEdit*>("fileNameEdit");
                           ASSERT_NE(name, nullptr);
                           name->clear();
                           QTest::keyClicks(name, file);
                           QTest::keyClick(name, Qt::Key_Return);
                       });
                       f.Button4->click();
                   },
                   [](TPalnorForm& f) { EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet1); }}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace

// Under a window manager that draws frames, toggling "Stay on top" recreates the native window;
// the position written at close must still be where the user sees the window.
TEST_F(FormTest, StayOnTopKeepsTheStoredPositionUnderAWindowManager) {
    QProcess wm;
    wm.start("openbox", {"--sm-disable"});
    ASSERT_TRUE(wm.waitForStarted()) << "openbox is installed by scripts/setup";
    RunFor(500);
    WriteSettings("[FORM]\r\nLeft=300\r\nTop=200\r\nWidth=500\r\nHeight=400\r\n");
    MakeForm();
    RunFor(300);
    for (bool onTop : {true, false, true, false}) {
        Form->CheckBox1->setChecked(onTop);
        RunFor(300);
    }
    Form->close();
    const QByteArray written = ReadSettingsFile();
    EXPECT_TRUE(written.contains("Left=300\r\nTop=200\r\n")) << written.toStdString();
    wm.terminate();
    wm.waitForFinished();
}

namespace {
// Whether the window asks for attention: the urgency hint, or the state a window manager keeps.
bool DemandsAttention(QWidget* Window) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* c = x11->connection();
    auto property = [&](xcb_atom_t Name, xcb_atom_t Type) {
        std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> reply(
            xcb_get_property_reply(c, xcb_get_property(c, 0, Window->winId(), Name, Type, 0, 64), nullptr), &free);
        std::vector<uint32_t> words;
        if (reply && reply->format == 32) {
            const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
            words.assign(v, v + xcb_get_property_value_length(reply.get()) / 4);
        }
        return words;
    };
    auto atom = [&](const char* Name) {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, strlen(Name), Name), nullptr), &free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    };
    const std::vector<uint32_t> hints = property(XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS);
    if (!hints.empty() && (hints[0] & (1u << 8))) return true;
    const xcb_atom_t demands = atom("_NET_WM_STATE_DEMANDS_ATTENTION");
    for (uint32_t state : property(atom("_NET_WM_STATE"), XCB_ATOM_ATOM))
        if (state == demands) return true;
    return false;
}
}  // namespace

// A line from someone else while the user works in another window marks the window urgent.
TEST_F(FormTest, ALineWhileAwayMarksTheWindowUrgent) {
    QProcess wm;
    wm.start("openbox", {"--sm-disable"});
    ASSERT_TRUE(wm.waitForStarted());
    RunFor(500);
    MakeForm();
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    EXPECT_FALSE(DemandsAttention(Form.get()));
    Form->HandleChunk("&<BOB-B><are you there?>");
    EXPECT_TRUE(RunUntil([&] { return DemandsAttention(Form.get()); }, 3000));
    EXPECT_EQ(Notifications, QStringList{"BOB-B: are you there?"});
    wm.terminate();
    wm.waitForFinished();
}

// On screen, one's own sender stands apart in its colour; another's sender and the same line with
// the setting off do not.
TEST_F(FormTest, OwnSenderIsDrawnApartOnScreen) {
    Connected("CALL", "NAME");
    Form->activateWindow();
    auto greenPixels = [&](int Line) {  // pixels of the sender's region near the own lines' green
        TChatPane* pane = Form->DisplayMemo;
        const qsizetype start = Line == 0 ? 0 : pane->toPlainText().split('\n').mid(0, Line).join('\n').size() + 1;
        const QRect region = pane->PositionRect(start).united(pane->PositionRect(start + 8))
                                 .translated(pane->viewport()->mapToGlobal(QPoint()));
        const QImage shot = Form->screen()->grabWindow(0, region.x(), region.y(), region.width(), region.height()).toImage();
        int n = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QColor p = shot.pixelColor(x, y);
                n += p.green() > 70 && p.red() < 60 && p.blue() < 90;
            }
        return n;
    };
    ServerSends("&<CALL-NAME><mine>\r\n&<B-2><theirs>\r\n");
    RunFor(200);
    EXPECT_GT(greenPixels(0), 5) << "own sender";
    EXPECT_EQ(greenPixels(3), 0) << "another's sender";
    Form->cbHighlight->setChecked(false);
    Form->DisplayMemo->ClearLines();
    ServerSends("&<CALL-NAME><mine>\r\n");
    RunFor(200);
    EXPECT_EQ(greenPixels(0), 0) << "the setting off";
}

// What a user sees of spell checking and of finding, as pictures: the pixels of a pane that are
// near Colour, and the picture kept in $KORVEL_SCREENSHOTS when set.
static int PixelsNear(QWidget* Window, QAbstractScrollArea* Pane, QColor Colour, const char* Name) {
    RunFor(100);  // painted
    const QPoint at = Pane->viewport()->mapToGlobal(QPoint());
    const QImage shot = Window->screen()->grabWindow(0, at.x(), at.y(), Pane->viewport()->width(), Pane->viewport()->height()).toImage();
    if (const QString dir = qEnvironmentVariable("KORVEL_SCREENSHOTS"); !dir.isEmpty())
        Window->screen()->grabWindow(Window->winId()).save(dir + "/" + Name + ".png");
    int n = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QColor p = shot.pixelColor(x, y);
            n += Colour == Qt::red ? p.red() > p.green() + 50 && p.red() > p.blue() + 50  // the wave's edges are blended
                                   : std::abs(p.red() - Colour.red()) + std::abs(p.green() - Colour.green()) + std::abs(p.blue() - Colour.blue()) < 60;
        }
    return n;
}

// A misspelt word is underlined in red as it is typed; a call sign, a link and a user's name are not.
TEST_F(FormTest, AMisspeltWordIsUnderlinedOnScreen) {
    Connected("CALL", "NAME");
    ServerSends("~DL1ABC-ZYGMUNT\r\n");
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    RunFor(100);
    QTest::keyClicks(Form->SendMemo, "DL1ABC zygmunt see [https://x.example/qwx]");
    RunFor(200);
    EXPECT_EQ(PixelsNear(Form.get(), Form->SendMemo, Qt::red, "spelling-clean"), 0);
    QTest::keyClicks(Form->SendMemo, " this is mispelt");
    RunFor(200);
    EXPECT_GT(PixelsNear(Form.get(), Form->SendMemo, Qt::red, "spelling"), 10);
}

// Ctrl+F opens the bar under the conversation: every match marked, the current one apart.
TEST_F(FormTest, TheFindBarMarksEveryMatchOnScreen) {
    Connected("CALL", "NAME");
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    ServerSends("&<B-2><hello there>\r\n&<C-3><and hello again>\r\n&<B-2><bye>\r\n");
    QTest::keyClick(Form->SendMemo, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), "hello");
    RunFor(200);
    EXPECT_GT(PixelsNear(Form.get(), Form->DisplayMemo, QColor(0xff, 0x96, 0x32), "find-current"), 20) << "the current match";
    EXPECT_GT(PixelsNear(Form.get(), Form->DisplayMemo, QColor(0x9c, 0xd0, 0xff), "find"), 20) << "the other match";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(QApplication::focusWidget(), Form->SendMemo) << "Esc gives the focus back";
    EXPECT_EQ(PixelsNear(Form.get(), Form->DisplayMemo, QColor(0x9c, 0xd0, 0xff), "find-closed"), 0);
}
