#pragma once
// Shared set-up for tests of the main window: its own settings folder and instance name,
// recorded dialogs, sounds and shell opens, and a scripted chat server on 127.0.0.1.
#include "chat_pane.h"
#include "dialogs.h"
#include "notify.h"
#include "lamp.h"
#include "palnor_form.h"
#include "shell.h"
#include "sound.h"
#include "tncnx.h"

#include "event_loop.h"
#include "posix_peer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <QRegularExpression>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <memory>

class RecordingDialogs : public TDialogs {
public:
    void MessageBox(QWidget*, const QString& Text) override {
        Messages << Text;
        if (WhileOpen) WhileOpen();  // the box stays open while this runs
    }
    bool Confirm(QWidget*, const QString& Text, const QString& AcceptText) override {
        Confirms << AcceptText + "\n" + Text;
        return NextConfirm;
    }
    std::optional<TFontChoice> ChooseFont(QWidget*, const TFontChoice&) override { return NextFont; }
    std::optional<QColor> ChooseColor(QWidget*, const QColor&) override { return NextColor; }
    std::optional<QString> ChooseSaveFile(QWidget*, const QString&, const QString&, const QString& Proposed) override {
        ProposedFile = Proposed;
        return NextFile;
    }
    std::optional<QString> ChooseOpenFile(QWidget*, const QString& Proposed, const QString&) override {
        ProposedFile = Proposed;
        return NextFile;
    }
    QStringList Messages;
    QStringList Confirms;
    bool NextConfirm = false;
    std::function<void()> WhileOpen;
    std::optional<TFontChoice> NextFont;
    std::optional<QColor> NextColor;
    std::optional<QString> NextFile;
    QString ProposedFile;
};

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Config.isValid());
        qputenv("KORVELCHAT_CONFIG_DIR", Config.path().toLocal8Bit());
        qputenv("TMPDIR", Config.path().toLocal8Bit());  // temporary files of the window's own
        qputenv("XDG_DATA_HOME", (Config.path() + "/data").toLocal8Bit());  // the conversation log
        SetNotifySink([this](const QString& Summary, const QString& Body, uint32_t, TNotifyDone Done) {
            Notifications << Summary + ": " + Body;
            Done(1);
        });
        qputenv("KORVELCHAT_INSTANCE_NAME",
                ("KorvelTest" + QUuid::createUuid().toString(QUuid::Id128)).toLocal8Bit());
        SetDialogs(&Dialogs);
        SetSoundSink([this](const std::string& name) { Sounds.push_back(name); });
        SetShellOpenHandler([this](const QString& target) {
            Opened << target;
            return true;
        });
    }
    void TearDown() override {
        Form.reset();
        if (ServerFd >= 0) peer::Close(ServerFd);
        SetDialogs(nullptr);
        SetSoundSink({});
        SetShellOpenHandler({});
        SetNotifySink({});
    }

    void WriteSettings(const QByteArray& Text) {
        QFile f(Config.path() + "/CL.ini");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(Text);
    }
    QByteArray ReadSettingsFile() {
        QFile f(Config.path() + "/CL.ini");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void MakeForm() {
        Form = std::make_unique<TPalnorForm>();
        auto handler = Form->TnCnx->OnDataAvailable;
        Form->TnCnx->OnDataAvailable = [this, handler](QObject* s, const char* b, int n) {
            handler(s, b, n);
            ++ReadCounter;
        };
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    }

    // A form pointed at the scripted server, with a call sign and name, connected and with the
    // login line read off the wire.
    void Connected(const QString& Call = "CALL", const QString& Name = "NAME") {
        WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::number(Server.Port()) +
                      "\r\nUser=" + Call.toLatin1() + "\r\nName=" + Name.toLatin1() + "\r\n");
        MakeForm();
        Form->ConnectButton->click();
        ServerFd = Server.Accept();
        ASSERT_GE(ServerFd, 0);
        ASSERT_TRUE(RunUntil([&] { return Form->Shape1->FillColor() == 65280; }));
        ASSERT_EQ(ReadFromClient(), "~SC=" + Call.toStdString() + "-" + Name.toStdString() + "\r\n");
    }

    // What the client sent, collected while the event loop runs.
    std::string ReadFromClient(std::size_t AtLeast = 1, int TimeoutMs = 3000) {
        std::string got;
        RunUntil([&] {
            got += peer::Recv(ServerFd, 1);
            return got.size() >= AtLeast;
        }, TimeoutMs);
        return got;
    }

    // The server sends; the client has handled it when the loop returns.
    void ServerSends(const std::string& Bytes) {
        ASSERT_TRUE(peer::SendAll(ServerFd, Bytes));
        const int before = Reads();
        RunUntil([&] { return Reads() > before; }, 2000);
        RunFor(10);
    }

    int Reads() { return ReadCounter; }

    QStringList DisplayLines() { return Form->DisplayMemo->toPlainText().split(u'\n'); }

    void TypeAndEnter(const QString& Text) {
        QTest::keyClicks(Form->SendMemo, Text);
        QTest::keyClick(Form->SendMemo, Qt::Key_Return);
    }

    QTemporaryDir Config;
    RecordingDialogs Dialogs;
    std::vector<std::string> Sounds;
    QStringList Opened;
    QStringList Notifications;
    std::unique_ptr<TPalnorForm> Form;
    PosixListener Server;
    int ServerFd = -1;
    int ReadCounter = 0;
};
