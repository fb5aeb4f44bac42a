#include "exception.h"
#include "registry.h"

#include <QFile>
#include <QTemporaryDir>

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

}  // namespace
