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
        DialogCase{"ConnectErrorBox",
                   [](RealDialogsTest&, TPalnorForm& f) {
                       RealDialogCase::AnswerNextDialog([](QWidget* d) { RealDialogCase::Press(d, Qt::Key_Return); });
                       f.ConnectButton->click();
                   },
                   [](TPalnorForm& f) { EXPECT_EQ(f.Shape1->FillColor(), 255); }},
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
