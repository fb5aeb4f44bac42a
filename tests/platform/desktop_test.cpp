// The sound and shell seams: what the program asks of the desktop.
#include "shell.h"
#include "sound.h"

#include "event_loop.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SoundTest, TheSinkReceivesEveryCallInOrder) {
    const std::string file = "/usr/share/sounds/freedesktop/stereo/message.oga";
    std::vector<std::string> played;
    SetSoundSink([&](const std::string& name) { played.push_back(name); });
    for (int i = 0; i < 3; ++i) PlaySystemSound("SYSTEMSTART");
    PlaySystemSound(file);
    SetSoundSink({});
    EXPECT_EQ(played,
              (std::vector<std::string>{"SYSTEMSTART", "SYSTEMSTART", "SYSTEMSTART", file}));
}

// Without a sound server (as under ctest) the real path must stay silent: no crash, no wait.
// The last request is handed to the sound system before the process ends, so it really is
// opened. The sound system keeps a cache in the user's cache folder; this one is ours, and
// being made before the first sound, it outlives the sound thread at exit.
// The sound library is loaded by the first sound, not by the start.
TEST(SoundTest, TheRealPathReturnsAtOnceWhereverItRuns) {
    static const QTemporaryDir cache;
    ASSERT_TRUE(cache.isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    const auto loaded = [] {
        QFile maps("/proc/self/maps");
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libcanberra");
    };
    EXPECT_FALSE(loaded());
    PlaySystemSound("/no/such/file.wav");
    PlaySystemSound("");
    PlaySystemSound("SYSTEMSTART");
    for (int i = 0; i < 200 && !loaded(); ++i) QThread::msleep(10);
    EXPECT_TRUE(loaded());
}

TEST(ShellTest, TheHandlerSeesEveryTargetAndAnswersForTheDesktop) {
    std::vector<QString> opened;
    SetShellOpenHandler([&](const QString& target) {
        opened.push_back(target);
        return target.startsWith("http");
    });
    EXPECT_TRUE(ShellOpen("https://example.org/a b"));
    EXPECT_FALSE(ShellOpen("/opt/korvelchat/KorvelChat2.hlp"));
    SetShellOpenHandler({});
    EXPECT_EQ(opened, (std::vector<QString>{"https://example.org/a b",
                                            "/opt/korvelchat/KorvelChat2.hlp"}));
    // Without a GUI application and without the desktop's opener nothing is asked; the caller hears so.
    QTemporaryDir empty;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(empty.path()));
    QStringList failures;
    EXPECT_FALSE(ShellOpen("https://example.org/", [&](const QString& Why) { failures << Why; }));
    qputenv("PATH", path);
    EXPECT_TRUE(RunUntil([&] { return !failures.isEmpty(); }, 2000));
}

// The desktop's opener answers after ShellOpen returned; a failure reaches the caller, with why.
TEST(ShellTest, TheOpenersAnswerReachesTheCaller) {
    QTemporaryDir bin;
    QFile opener(bin.filePath("xdg-open"));
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\necho \"$1\" >> \"${0%/*}/asked\"\ncase \"$1\" in *missing*) exit 3;; *broken*) exit 4;; esac\n");
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));
    QStringList failures;
    for (const char* target : {"https://example.org/ok", "/tmp/missing.html", "mailto:broken@example.org"})
        EXPECT_TRUE(ShellOpen(target, [&, target](const QString& Why) { failures << QString(target) + ": " + Why; }));
    qputenv("PATH", path);
    const auto asked = [&] {
        QFile f(bin.filePath("asked"));
        return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
    };
    EXPECT_TRUE(RunUntil([&] { return failures.size() == 2 && asked() == 3; }, 5000)) << "each asked once";
    RunFor(100);
    failures.sort();
    EXPECT_EQ(failures, (QStringList{"/tmp/missing.html: nothing on this desktop opens it",
                                     "mailto:broken@example.org: the program that opens it failed"}));
}

TEST(ShellTest, AddressesKeepTheirSchemeAndEverythingElseIsAFile) {
    EXPECT_EQ(ShellOpenUrl("https://example.org/x?y=1"), QUrl("https://example.org/x?y=1"));
    EXPECT_EQ(ShellOpenUrl("mailto:op@example.org").scheme(), "mailto");
    EXPECT_EQ(ShellOpenUrl("/opt/k/KorvelChat2.hlp"), QUrl("file:///opt/k/KorvelChat2.hlp"));
    EXPECT_EQ(ShellOpenUrl("notes.txt"),
              QUrl::fromLocalFile(QDir::current().filePath("notes.txt")));
    EXPECT_TRUE(ShellOpenUrl("C:\\Help\\K.hlp").isLocalFile()) << "a drive letter is no scheme";
    EXPECT_TRUE(ShellOpenUrl("www.example.org").isLocalFile());
    EXPECT_TRUE(ShellOpenUrl("two words: here").isLocalFile());
}

}  // namespace
