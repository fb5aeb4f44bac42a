// The Server host field with IPv6 literals, bare or in brackets, and a port given with the host.
#include "form_support.h"

#include "server_address.h"

#include <QLabel>

namespace {

TEST(ServerHostField, ReadsNamesAndAddressesOfBothFamilies) {
    struct Row {
        const char* Text;
        const char* Host;  // nullptr: refused
        const char* Port;
    };
    const Row rows[] = {
        {"chat.example", "chat.example", ""},
        {" 10.0.0.1 ", "10.0.0.1", ""},
        {"chat.example:2323", "chat.example", "2323"},
        {"::1", "::1", ""},
        {"2001:db8::5:1024", "2001:db8::5:1024", ""},  // an address: its last group is no port
        {"[2001:db8::5]", "[2001:db8::5]", ""},
        {"[2001:db8::5]:1024", "[2001:db8::5]", "1024"},
        {"[::1", nullptr, ""},
        {"[::1]1024", nullptr, ""},
        {"[::1]:0", nullptr, ""},
        {"[chat.example]", nullptr, ""},
        {"chat.example:http", nullptr, ""},
        {"2001:db8::g", nullptr, ""},
        {"chat example", nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Text);
        const auto parsed = ParseServerHost(row.Text);
        ASSERT_EQ(parsed.has_value(), row.Host != nullptr);
        if (!parsed) continue;
        EXPECT_EQ(parsed->Host, row.Host);
        EXPECT_EQ(parsed->Port, row.Port);
    }
    EXPECT_EQ(ServerText("::1", "1024"), "[::1]:1024");
    EXPECT_EQ(ServerText("[::1]", "1024"), "[::1]:1024");
    EXPECT_EQ(ServerText("chat.example", "23"), "chat.example:23");
}

// "[::1]:port" typed into the Server host field: the port goes to its field, the session to ::1.
TEST_F(FormTest, AnIPv6ServerWithItsPortInTheHostField) {
    PosixListener v6(16, PeerFamily::V6);
    if (!v6.Listening()) GTEST_SKIP() << "no IPv6 on this machine";
    WriteSettings("[FORM]\r\nUser=CALL\r\nName=NAME\r\n");
    MakeForm();
    Form->Settings1Click();
    Form->edHost->setText("[::1]:" + QString::number(v6.Port()));
    Form->Button2->click();
    ASSERT_EQ(Form->PageControl1->currentWidget(), Form->TabSheet1) << Form->SettingsHint->text().toStdString();
    EXPECT_EQ(Form->HostEdit->text(), "[::1]");
    EXPECT_EQ(Form->PortEdit->text(), QString::number(v6.Port()));
    Form->ConnectButton->click();
    ASSERT_TRUE(RunUntil([&] { return (ServerFd = v6.Accept(0)) >= 0; }));
    EXPECT_EQ(ReadFromClient(15), "~SC=CALL-NAME\r\n");
    ASSERT_TRUE(RunUntil([&] { return Form->StateText->text() == "Connected"; }));
    EXPECT_EQ(Form->Shape1->toolTip(), "Connected to [::1]:" + QString::number(v6.Port()) + " as CALL-NAME");
}

}  // namespace
