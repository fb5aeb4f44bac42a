// The main window against the local chat server: the whole stack, end to end.
#include "form_support.h"

#include "chat_server.h"

namespace {

TEST_F(FormTest, ChatsWithTheLocalServer) {
    TChatServer server;
    server.OnLog = [](const std::string&) {};
    server.Start("127.0.0.1", "0");
    WriteSettings("[FORM]\r\nHost=127.0.0.1\r\nPort=" + QByteArray::fromStdString(server.BoundPort()) +
                  "\r\nUser=AAA\r\nName=ALICE\r\n");
    MakeForm();
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return Form->lbUsers->count() == 1; }));
    EXPECT_EQ(Form->lbUsers->item(0)->text(), "AAA-ALICE");
    EXPECT_EQ(DisplayLines().mid(0, 2), (QStringList{"          Welcome.", "Korvel chat version 2.0.0"}));

    // Another user joins and talks.
    TTnCnx bob;
    bob.SetHost("127.0.0.1");
    bob.SetPort(server.BoundPort());
    bob.Connect();
    ASSERT_TRUE(RunUntil([&] { return bob.State() == wsConnected; }));
    bob.SendStr("~SC=BBB-BOB\r\n");
    ASSERT_TRUE(RunUntil([&] { return Form->lbUsers->count() == 2; }));
    bob.SendStr("&<BBB-BOB><hi \xe9" "\x02\x01" "there>\r\n");
    ASSERT_TRUE(RunUntil([&] { return Form->DisplayMemo->toPlainText().contains("there"); }));
    EXPECT_TRUE(Form->DisplayMemo->toPlainText().contains(QString::fromUtf8("hi é\nthere")));

    // What Alice types comes back from the server and is shown once.
    TypeAndEnter("Hello Bob");
    ASSERT_TRUE(RunUntil([&] { return Form->DisplayMemo->toPlainText().contains("Hello Bob"); }));
    RunFor(100);
    EXPECT_EQ(Form->DisplayMemo->toPlainText().count("Hello Bob"), 1);

    Form->DisconnectButton->click();
    EXPECT_EQ(Form->lbUsers->count(), 0);
    ASSERT_TRUE(RunUntil([&] { return server.Users() == std::vector<std::string>{"BBB-BOB"}; }));
    bob.Close();
}

}  // namespace
