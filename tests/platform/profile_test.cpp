#include "profile.h"
#include "profile_round_trip.h"
#include "test_seed.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <tuple>
#include <sys/resource.h>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString Path = Dir.filePath("CL.ini");

    void Put(const std::string& bytes) const {
        QFile file(Path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    std::string Contents() const {
        QFile file(Path);
        if (!file.open(QIODevice::ReadOnly)) return "<missing>";
        return file.readAll().toStdString();
    }
    // Files in the folder besides the settings file: a failed write must leave none.
    QStringList Leftovers() const {
        QStringList names = QDir(Dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        names.removeAll("CL.ini");
        return names;
    }
};

TEST_F(ProfileTest, MissingFileGivesDefaultsAndTheFirstWriteCreatesIt) {
    TProfileFile profile(Path);
    EXPECT_EQ(profile.ReadString("FORM", "Top", "0"), "0");
    EXPECT_EQ(profile.ReadString("FORM", "Host", "chat.local  "), "chat.local")
        << "the default loses its trailing blanks";
    ASSERT_TRUE(profile.UpdateFile());
    EXPECT_EQ(Contents(), "<missing>") << "nothing was written, so nothing is created";

    profile.WriteString("FORM", "Top", "12");
    profile.WriteString("FORM", "Port", "1024");
    QString error;
    ASSERT_TRUE(profile.UpdateFile(&error)) << error.toStdString();
    EXPECT_EQ(Contents(), "[FORM]\r\nTop=12\r\nPort=1024\r\n");
    EXPECT_EQ(TProfileFile(Path).ReadString("form", "PORT", ""), "1024");
}

TEST_F(ProfileTest, LookupsFollowWindowsRules) {
    Put("loose=before any section\n"
        "[ Form ]  ; note\n"
        "  ontop = 1  \n"
        "DMcolor=-2147483643\r\n"
        "Quoted=\"  spaced  \"\n"
        "Single='x'\n"
        "Half=\"open\n"
        "Mixed=\"x'\n"
        "Lone=\"\n"
        "Inner=a \"b\" c\n"
        "Empty=\n"
        "Eq=a=b\n"
        "Dup=first\n"
        "Dup=second\n"
        ";Top=99\n"
        "[Other]\n"
        "Top=5\n"
        "[FORM]\n"
        "Late=from the second FORM section\n");
    const TProfileFile profile(Path);
    const struct {
        const char* Key;
        const char* Expected;
    } rows[] = {
        {"OnTop", "1"},          {"DMColor", "-2147483643"}, {"Quoted", "  spaced  "},
        {"Single", "x"},         {"Half", "\"open"},         {"Mixed", "\"x'"},
        {"Lone", "\""},          {"Inner", "a \"b\" c"},     {"Empty", ""},
        {"Eq", "a=b"},           {"Dup", "first"},           {"Top", "<default>"},
        {"loose", "<default>"},  {"Late", "<default>"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(profile.ReadString("FORM", row.Key, "<default>").toStdString(), row.Expected)
            << "key " << row.Key;
    EXPECT_EQ(profile.ReadString("other", "TOP", ""), "5");
    EXPECT_EQ(profile.ReadString("Missing", "Top", "d"), "d");
}

TEST_F(ProfileTest, ValuesAreReadUpTo2047Characters) {
    const std::string full(2047, 'a');
    Put("[FORM]\r\nExact=" + full + "\r\nLong=" + full + "bc\r\nQuoted=\"" + full + "\"\r\n");
    const TProfileFile profile(Path);
    EXPECT_EQ(profile.ReadString("FORM", "Exact", "").toStdString(), full);
    EXPECT_EQ(profile.ReadString("FORM", "Long", "").toStdString(), full);
    EXPECT_EQ(profile.ReadString("FORM", "Quoted", "").toStdString(), full)
        << "the quotes go before the value is cut";
    EXPECT_EQ(profile.ReadString("FORM", "Missing", QString(3000, 'd')).size(), 2047);
}

TEST_F(ProfileTest, WritingKeepsEveryOtherLineAsItWas) {
    Put("; settings\n"
        "[Other]\n"
        "Top = 5 \n"
        "\n"
        "[form]\r\n"
        "  ONTOP =\t1 ; keep?\n"
        "Unknown=\xE9t\xE9 \x81\n"
        "Host  =  chat.example  \n"
        "; trailing comment\n"
        "\n"
        "\n"
        "[Last]\n"
        "no equals sign here");
    TProfileFile profile(Path);
    profile.WriteString("FORM", "OnTop", "0");            // in place, spelling kept
    profile.WriteString("FORM", "Host", "chat.example");  // unchanged: line untouched
    profile.WriteString("FORM", "Width", "300");          // new key: end of its section
    profile.WriteString("Added", "Key", "v");             // new section: end of the file
    QString error;
    ASSERT_TRUE(profile.UpdateFile(&error)) << error.toStdString();
    // Lines nobody changed keep their bytes, line ends included.
    EXPECT_EQ(Contents(),
              "; settings\n"
              "[Other]\n"
              "Top = 5 \n"
              "\n"
              "[form]\r\n"
              "ONTOP=0\r\n"
              "Unknown=\xE9t\xE9 \x81\n"
              "Host  =  chat.example  \n"
              "; trailing comment\n"
              "Width=300\r\n"
              "\n"
              "\n"
              "[Last]\n"
              "no equals sign here\r\n"
              "[Added]\r\n"
              "Key=v\r\n");
    EXPECT_TRUE(Leftovers().isEmpty()) << Leftovers().join(' ').toStdString();
}

TEST_F(ProfileTest, TextIsUtf8OnlyWhenAValueDoesNotFitWindows1252AndLineBreaksCannotSplitAnEntry) {
    TProfileFile profile(Path);
    profile.WriteString("FORM", "Name", QStringLiteral("Jos\u00E9 \u20AC \u0100"));
    profile.WriteString("FORM", "User", "A\r\nTop=999");
    ASSERT_TRUE(profile.UpdateFile());
    EXPECT_EQ(Contents(), "\xEF\xBB\xBF[FORM]\r\nName=Jos\xC3\xA9 \xE2\x82\xAC \xC4\x80\r\nUser=A  Top=999\r\n");
    const TProfileFile again(Path);
    EXPECT_EQ(again.ReadString("FORM", "Name", ""), QStringLiteral("Jos\u00E9 \u20AC \u0100"));
    EXPECT_EQ(again.ReadString("FORM", "Top", "none"), "none");
    profile.WriteString("FORM", "Name", QStringLiteral("Jos\u00E9 \u20AC"));
    ASSERT_TRUE(profile.UpdateFile());
    EXPECT_EQ(Contents(), "\xEF\xBB\xBF[FORM]\r\nName=Jos\xC3\xA9 \xE2\x82\xAC\r\nUser=A  Top=999\r\n")
        << "a UTF-8 file stays one";
    QFile::remove(Path);
    TProfileFile fresh(Path);
    fresh.WriteString("FORM", "Name", QStringLiteral("Jos\u00E9 \u20AC"));
    ASSERT_TRUE(fresh.UpdateFile());
    EXPECT_EQ(Contents(), "[FORM]\r\nName=Jos\xE9 \x80\r\n");
}

// The encoding is what the program marked, never a guess from bytes that happen to be valid UTF-8.
TEST_F(ProfileTest, TheEncodingIsTheOneTheFileWasMarkedWith) {
    const std::tuple<const char*, std::string, QString> rows[] = {
        {"", "J\xC3\x89R\xC3\x94ME", QStringLiteral("J\u00C3\u2030R\u00C3\u201DME")},  // Windows-1252
        {"\xEF\xBB\xBF", "J\xC3\x89R\xC3\x94ME", QStringLiteral("J\u00C9R\u00D4ME")},
        {"\xEF\xBB\xBF", "\xCE\x93\xFF", QStringLiteral("\u0393\uFFFD")},  // a broken line in it
        {"", "\xCE\x93\xCE\xB5", QStringLiteral("\u0393\u03B5")},            // an earlier version's UTF-8
    };
    for (const auto& [mark, name, value] : rows) {
        Put(mark + std::string("\n[FORM]\nName=") + name + "\n");
        EXPECT_EQ(TProfileFile(Path).ReadString("FORM", "Name", "-"), value) << name;
    }
}

// Whatever bytes a file holds, storing a key leaves every other line's bytes as they were.
TEST_F(ProfileTest, RandomFilesKeepTheLinesNobodyChanged) {
    const uint32_t seed = TestSeed();
    SCOPED_TRACE("KORVEL_SEED=" + std::to_string(seed));
    QRandomGenerator rng(seed);
    const QByteArray pieces[] = {"[FORM]", "[form]\r", "Top=5", " top = 7 ", "Name=\xC3\x89", "\xEF\xBB\xBF",
                                 "\xCE\x93", "\xFF", "\r", "\n", "\r\n", "=", ";c", "\xE9t\xE9"};
    for (int round = 0; round < 300; ++round) {
        QByteArray bytes;
        for (int n = rng.bounded(12); n > 0; --n) bytes += pieces[rng.bounded(int(std::size(pieces)))];
        ASSERT_EQ(UntouchedLinesKeepTheirBytes(bytes, Path), "") << QByteArray(bytes).toPercentEncoding().toStdString();
    }
}

// The fuzz target's property, for a few seconds of random text: values in any script read back
// as they were written.
TEST_F(ProfileTest, RandomValuesReadBackAsWritten) {
    const uint32_t seed = TestSeed();
    SCOPED_TRACE("KORVEL_SEED=" + std::to_string(seed));
    QRandomGenerator rng(seed);
    for (int round = 0; round < 300; ++round) ASSERT_EQ(ProfileRoundTrip(RandomBytes(rng, 400), Path), "");
}

TEST_F(ProfileTest, AFolderThatDoesNotExistIsReportedByName) {
    const QString path = Dir.filePath("no-such-folder/CL.ini");
    TProfileFile profile(path);
    profile.WriteString("FORM", "Top", "1");
    QString error;
    EXPECT_FALSE(profile.UpdateFile(&error));
    EXPECT_TRUE(error.contains(path)) << error.toStdString();
}

TEST_F(ProfileTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    const std::string old = "[FORM]\r\nTop=1\r\n";
    Put(old);
    TProfileFile profile(Path);
    profile.WriteString("FORM", "Name", QString(4000, 'x'));

    // A file size limit makes the write itself fail, whoever runs the test (root included).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool written = profile.UpdateFile(&error);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

    EXPECT_FALSE(written);
    EXPECT_TRUE(error.contains(Path)) << error.toStdString();
    EXPECT_EQ(Contents(), old);
    EXPECT_TRUE(Leftovers().isEmpty()) << Leftovers().join(' ').toStdString();

    // The pending change is still there and goes out once writing works again.
    ASSERT_TRUE(profile.UpdateFile(&error)) << error.toStdString();
    EXPECT_EQ(TProfileFile(Path).ReadString("FORM", "Name", "").size(), 2047);
}

TEST_F(ProfileTest, ATargetThatCannotBeReplacedLeavesNoTemporaryFile) {
    TProfileFile profile(Path);
    profile.WriteString("FORM", "Top", "1");
    // Something that a file cannot be renamed over takes the file's place after it was read.
    ASSERT_TRUE(QDir(Dir.path()).mkpath("CL.ini/inside"));
    QString error;
    EXPECT_FALSE(profile.UpdateFile(&error));
    EXPECT_TRUE(error.contains(Path)) << error.toStdString();
    EXPECT_TRUE(QDir(Dir.filePath("CL.ini/inside")).exists());
    EXPECT_TRUE(Leftovers().isEmpty()) << Leftovers().join(' ').toStdString();
}

}  // namespace
