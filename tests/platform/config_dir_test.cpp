// Where the settings live: beside a program run from its build folder, in the user's
// configuration folder for an installed one (told by the layout, not by write permission), and
// wherever KORVELCHAT_CONFIG_DIR says above both.
#include "config_dir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(ConfigDirTest, TheInstallLayoutDecides) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QByteArray savedXdg = qgetenv("XDG_CONFIG_HOME");
    const QByteArray savedOverride = qgetenv("KORVELCHAT_CONFIG_DIR");
    qputenv("XDG_CONFIG_HOME", (root.path() + "/xdg").toLocal8Bit());
    qunsetenv("KORVELCHAT_CONFIG_DIR");
    struct Case {
        const char* Program;  // the program's folder
        const char* Data;     // a folder made beside it
        bool Installed;
    };
    for (const Case& c : {Case{"usr/bin", "usr/share/korvelchat2", true},
                          Case{"locked/bin", "locked/share/korvelchat2", true},
                          Case{"other/bin", "other/share/another", false},
                          Case{"build/app", "build/share/korvelchat2", false},
                          Case{"build/bin", "build/bin/share/korvelchat2", false}}) {
        const QString program = root.path() + '/' + c.Program;
        ASSERT_TRUE(QDir().mkpath(program) && QDir().mkpath(root.path() + '/' + c.Data));
        if (QByteArray(c.Program).startsWith("locked"))
            QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        EXPECT_EQ(InstalledLayout(program), c.Installed) << c.Program;
        EXPECT_EQ(ConfigDirFor(program), c.Installed ? root.path() + "/xdg/korvelchat2" : program) << c.Program;
    }
    EXPECT_EQ(ConfigDir(), ConfigDirFor(QCoreApplication::applicationDirPath()));
    qputenv("KORVELCHAT_CONFIG_DIR", "/elsewhere");
    EXPECT_EQ(ConfigDir(), "/elsewhere");
    for (const auto& [name, value] : {std::pair{"XDG_CONFIG_HOME", savedXdg}, {"KORVELCHAT_CONFIG_DIR", savedOverride}})
        value.isEmpty() ? qunsetenv(name) : qputenv(name, value);
}

}  // namespace
