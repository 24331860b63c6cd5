#include "support/TempDir.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo {
namespace {

using test::TempDir;

std::string Times(std::string_view Piece, int N) {
    std::string s;
    for (int i = 0; i < N; ++i)
        s.append(Piece);
    return s;
}

struct ReadCase {
    const char* Name;
    std::string Content;
    std::string Expected;
};

TEST(IniRead, ProfileRules) {
    const ReadCase cases[] = {
        {"plain", "[Setup]\r\nhost=mail.example\r\n", "mail.example"},
        {"names ignore case, blanks trimmed", "[ setup ]\r\n  HOST =  mail.example \t\r\n",
         "mail.example"},
        {"LF line ends", "[Setup]\nhost=mail.example\n", "mail.example"},
        {"no line end at the end", "[Setup]\r\nhost=mail.example", "mail.example"},
        {"one pair of double quotes removed", "[Setup]\r\nhost=\" a b \"\r\n", " a b "},
        {"one pair of single quotes removed", "[Setup]\r\nhost='x'\r\n", "x"},
        {"only one pair", "[Setup]\r\nhost=\"\"x\"\"\r\n", "\"x\""},
        {"unmatched quote stays", "[Setup]\r\nhost=\"x\r\n", "\"x"},
        {"first of two keys", "[Setup]\r\nhost=a\r\nhost=b\r\n", "a"},
        {"value may hold =", "[Setup]\r\nhost=a=b\r\n", "a=b"},
        {"comment is no key", "[Setup]\r\n;host=c\r\n", "<default>"},
        {"other section", "[Other]\r\nhost=o\r\n[Setup]\r\nuser=u\r\n", "<default>"},
        {"key before any section", "host=x\r\n[Setup]\r\n", "<default>"},
        {"section of the key found after others", "[A]\r\nhost=a\r\n[Setup]\r\nhost=s\r\n", "s"},
        {"empty value", "[Setup]\r\nhost=\r\n", ""},
    };
    TempDir dir;
    for (const auto& c : cases) {
        dir.Write("q.ini", c.Content);
        EXPECT_EQ(GetPrivateProfileString("Setup", "host", "<default>", 256, dir / "q.ini"),
                  c.Expected)
            << c.Name;
    }
    EXPECT_EQ(GetPrivateProfileString("Setup", "host", "d", 256, dir / "missing.ini"), "d");
}

TEST(IniRead, LongValueIsCutWithoutHalfCharacters) {
    TempDir dir;
    struct Case {
        const char* Codeset;
        std::string Value;
        std::string Expected;
    } cases[] = {
        {"UTF-8", std::string(300, 'h'), std::string(255, 'h')},
        // 1 + 3 * 100 bytes: the 85th character would end at byte 256.
        {"UTF-8", Times("x", 1) + Times("あ", 100), Times("x", 1) + Times("あ", 84)},
        // Shift_JIS: a double-byte character straddling byte 255 is left out whole.
        {"Shift_JIS", Times("x", 1) + Times("\x82\xA0", 150),
         Times("x", 1) + Times("\x82\xA0", 127)},
    };
    for (const auto& c : cases) {
        SetSystemCodePage(c.Codeset);
        dir.Write("q.ini", "[Setup]\r\nhost=" + c.Value + "\r\n");
        const std::string got = GetPrivateProfileString("Setup", "host", "", 256, dir / "q.ini");
        EXPECT_EQ(got, c.Expected) << c.Codeset;
        EXPECT_LE(got.size(), 255u);
    }
    SetSystemCodePage("UTF-8");
}

TEST(IniRead, Integers) {
    struct Case {
        const char* Value;
        int Expected;
    } cases[] = {
        {"587", 587},  {"  42", 42}, {"2", 2}, {"-5", -5},        {"+7", 7},
        {"12abc", 12}, {"abc", 0},   {"0", 0}, {"4294967297", 1}, {"\"25\"", 25},
    };
    TempDir dir;
    for (const auto& c : cases) {
        dir.Write("q.ini", std::string("[Setup]\r\nport=") + c.Value + "\r\n");
        EXPECT_EQ(GetPrivateProfileInt("Setup", "port", 99, dir / "q.ini"), c.Expected) << c.Value;
    }
    dir.Write("q.ini", "[Setup]\r\nport=\r\n");
    EXPECT_EQ(GetPrivateProfileInt("Setup", "port", 99, dir / "q.ini"), 99) << "empty value";
    EXPECT_EQ(GetPrivateProfileInt("Setup", "port", 25, dir / "none.ini"), 25) << "no file";
}

TEST(IniWrite, FirstWriteCreatesTheSevenLineFile) {
    TempDir dir;
    const std::string path = dir / "quillo.ini";
    for (const char* key : {"host", "user", "address", "name", "bcc"})
        ASSERT_TRUE(WritePrivateProfileString("Setup", key, "", path));
    ASSERT_TRUE(WritePrivateProfileString("Setup", "errdlg", "1", path));
    ASSERT_TRUE(WritePrivateProfileString("Setup", "port", "25", path));
    EXPECT_EQ(dir.Read("quillo.ini"),
              "[Setup]\r\nhost=\r\nuser=\r\naddress=\r\nname=\r\nbcc=\r\nerrdlg=1\r\nport=25\r\n");
}

struct WriteCase {
    const char* Name;
    std::string Before;
    const char* Section;
    const char* Key;
    const char* Value;
    std::string After;
};

TEST(IniWrite, KeepsEveryOtherLine) {
    const WriteCase cases[] = {
        {"replace, keep comments and other sections",
         "; settings\r\n[Other]\r\nhost=o\r\n\r\n[SETUP]\r\n; the server\r\n Host = old "
         "\r\nuser=u\r\n",
         "Setup", "host", "new",
         "; settings\r\n[Other]\r\nhost=o\r\n\r\n[SETUP]\r\n; the "
         "server\r\nhost=new\r\nuser=u\r\n"},
        {"new key after the section's last key", "[Setup]\r\nhost=h\r\n\r\n[Next]\r\na=1\r\n",
         "Setup", "port", "25", "[Setup]\r\nhost=h\r\nport=25\r\n\r\n[Next]\r\na=1\r\n"},
        {"new key in a section of comments only", "[Setup]\r\n; none yet\r\n", "Setup", "port",
         "25", "[Setup]\r\nport=25\r\n; none yet\r\n"},
        {"new section at the end", "[Other]\r\na=1\r\n", "Setup", "host", "h",
         "[Other]\r\na=1\r\n\r\n[Setup]\r\nhost=h\r\n"},
        {"LF file keeps LF", "[Setup]\nhost=h\n", "Setup", "user", "u",
         "[Setup]\nhost=h\nuser=u\n"},
        {"last line without a line end", "[Setup]\r\nhost=h", "Setup", "user", "u",
         "[Setup]\r\nhost=h\r\nuser=u\r\n"},
        {"a line break cannot start a line of its own", "", "Setup", "host", "a\r\n[Evil]\r\nb",
         "[Setup]\r\nhost=a\r\n"},
        {"empty value keeps the key", "[Setup]\r\nbcc=x\r\n", "Setup", "bcc", "",
         "[Setup]\r\nbcc=\r\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        if (c.Before.empty())
            std::filesystem::remove(dir / "q.ini");
        else
            dir.Write("q.ini", c.Before);
        ASSERT_TRUE(WritePrivateProfileString(c.Section, c.Key, c.Value, dir / "q.ini")) << c.Name;
        EXPECT_EQ(dir.Read("q.ini"), c.After) << c.Name;
    }
}

TEST(IniWrite, ReplacesTheFileAtomicallyAndLeavesNoTemporaryFile) {
    TempDir dir;
    dir.Write("q.ini", "[Setup]\r\nhost=h\r\n");
    ::chmod((dir / "q.ini").c_str(), 0640);
    struct stat before {};
    ::stat((dir / "q.ini").c_str(), &before);
    ASSERT_TRUE(WritePrivateProfileString("Setup", "host", "new", dir / "q.ini"));
    struct stat after {};
    ::stat((dir / "q.ini").c_str(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "written through a new file and a rename";
    EXPECT_EQ(after.st_mode & 07777, 0640u) << "the file keeps its permissions";
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(IniWrite, MissingFolderFails) {
    TempDir dir;
    EXPECT_FALSE(WritePrivateProfileString("Setup", "host", "h", dir / "no/such/q.ini"));
}

} // namespace
} // namespace quillo
