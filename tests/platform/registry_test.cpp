#include "exception.h"
#include "registry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        qputenv("KORVELCHAT_CONFIG_DIR", Dir.path().toLocal8Bit());
    }
    void TearDown() override { qunsetenv("KORVELCHAT_CONFIG_DIR"); }
    static QByteArray Contents(const QString& Path) {
        QFile f(Path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QTemporaryDir Dir;
};

// A damaged store is never written over: the first access moves it aside whole and says where,
// and the store starts afresh. An empty file holds nothing to lose and is simply a new store.
TEST_F(RegistryTest, ADamagedStoreIsKeptAsideAndReported) {
    for (const QByteArray& bytes : {QByteArray("{\"software\": {\"name\": \"Software\""), QByteArray("[1, 2]"),
                                    QByteArray("\xff\xfe garbage", 10)}) {
        SCOPED_TRACE(bytes.toStdString());
        const QString path = TRegistry::StorePath();
        QFile::remove(path + ".unreadable");
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        try {
            TRegistry().OpenKey("Software\\Quintor", true);
            ADD_FAILURE() << "a damaged store must be reported";
        } catch (const Exception& e) {
            EXPECT_NE(std::string(e.what()).find((path + ".unreadable").toStdString()), std::string::npos) << e.what();
        }
        EXPECT_EQ(Contents(path + ".unreadable"), bytes);
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Quintor", true));
        reg.WriteString("Kept", "yes");
        EXPECT_EQ(reg.ReadString("Kept"), "yes");
        EXPECT_EQ(Contents(path + ".unreadable"), bytes);
        QFile::remove(path);
    }
    QFile(TRegistry::StorePath()).open(QIODevice::WriteOnly);
    EXPECT_NO_THROW(TRegistry().OpenKey("Software", true));
}

// A damaged file that stays as it is between two looks is set aside at once: nothing waits for
// an editor that is not writing it (100 such reads once took a second of sleeping).
TEST_F(RegistryTest, AStoreThatStaysDamagedIsSetAsideWithoutWaiting) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 100; ++i) {
        QFile f(TRegistry::StorePath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("{\"software\":") > 0);
        f.close();
        EXPECT_THROW(TRegistry().KeyExists("Software"), Exception);
    }
    EXPECT_EQ(QDir(Dir.path()).entryList({"registry.json.unreadable*"}).size(), 100);
    EXPECT_LT(clock.elapsed(), 900);
}

// A store that cannot be read is never taken for an empty one: nothing is written over it.
// Two programs that change the store at once both keep every value they wrote.
TEST_F(RegistryTest, AnUnreadableStoreIsNeverWrittenAndTwoWritersLoseNothing) {
    const QString path = TRegistry::StorePath();
    ASSERT_TRUE(QFile::link("/proc/self/mem", path));  // opens, but reading it fails (EIO)
    EXPECT_THROW(TRegistry().OpenKey("Software", true), Exception);
    EXPECT_EQ(QFile::symLinkTarget(path), "/proc/self/mem");
    ASSERT_TRUE(QFile::remove(path));
    const auto write = [](const char* Who) {
        TRegistry reg;
        reg.OpenKey("Software", true);
        for (int i = 0; i < 150; ++i) reg.WriteInteger(Who + QString::number(i), i);
    };
    const pid_t child = fork();
    if (child == 0) _exit((write("child"), 0));
    write("parent");
    int status = 1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software", false));
    for (const char* who : {"child", "parent"})
        for (int i = 0; i < 150; ++i) EXPECT_TRUE(reg.ValueExists(who + QString::number(i))) << who << i;
}

}  // namespace
