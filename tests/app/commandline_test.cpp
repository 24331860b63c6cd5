#include "support/TempDir.h"
#include "app/CommandLine.h"
#include "app/Ui.h"
#include "platform/CodePage.h"
#include "platform/Exceptions.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace quillo {
namespace {

TEST(CommandLine, EmptyItemsAreDropped) {
    const char* argv[] = {"quillo", "to@example.com", "", "body", "", nullptr};
    EXPECT_EQ(CommandLineItems(5, argv), (std::vector<std::string>{"to@example.com", "body"}));
    const char* none[] = {"quillo", nullptr};
    EXPECT_TRUE(CommandLineItems(1, none).empty());
}

TEST(CommandLine, LineEndsBecomeCrLf) {
    const TCodePage utf8 = CodePageOf("UTF-8");
    const TCodePage sjis = CodePageOf("Shift_JIS");
    struct Case {
        const char* Name;
        std::string In;
        const TCodePage& Cp;
        std::string Out;
    } cases[] = {
        {"CR LF kept", "a\r\nb\r\n", utf8, "a\r\nb\r\n"},
        {"lone LF", "a\nb\n", utf8, "a\r\nb\r\n"},
        {"lone CR", "a\rb", utf8, "a\r\nb"},
        {"LF CR is two breaks", "a\n\rb", utf8, "a\r\n\r\nb"},
        {"CR CR LF", "a\r\r\nb", utf8, "a\r\n\r\nb"},
        {"empty", "", utf8, ""},
        {"UTF-8 text", "件名\n本文", utf8, "件名\r\n本文"},
        {"Shift_JIS with 0x5C second byte", "\x83\x5C\n\x95\x5C", sjis, "\x83\x5C\r\n\x95\x5C"},
        {"a lead byte takes the next byte whatever it is", "\x82\nx\n", sjis, "\x82\nx\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeCrLf(c.In, c.Cp), c.Out) << c.Name;
}

TEST(CommandLine, BodyText) {
    test::TempDir dir;
    dir.Write("body.txt", "line 1\nline 2\r\nline 3");
    struct Case {
        const char* Name;
        std::string Argument;
        std::string Expected;
    } cases[] = {
        {"inline body ends in CR LF", "Hello", "Hello\r\n"},
        {"inline line ends made CR LF", "a\nb\rc", "a\r\nb\r\nc\r\n"},
        {"empty inline body", "", "\r\n"},
        {"capital F is body text", "-F=" + (dir / "body.txt"), "-F=" + (dir / "body.txt") + "\r\n"},
        {"file body, no final line break added", "-f=" + (dir / "body.txt"),
         "line 1\r\nline 2\r\nline 3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BodyText(c.Argument), c.Expected) << c.Name;
}

TEST(CommandLine, LongBodyFileNameIsNeverCut) {
    test::TempDir dir;
    std::string folder = dir.Path();
    while (folder.size() < 400)
        folder += "/" + std::string(50, 'd');
    std::filesystem::create_directories(folder);
    const std::string file = folder + "/body.txt";
    { std::ofstream(file) << "long way\n"; }
    EXPECT_EQ(BodyText("-f=" + file), "long way\r\n");
}

TEST(CommandLine, BodyFileThatCannotBeOpened) {
    test::TempDir dir;
    try {
        BodyText("-f=" + (dir / "missing.txt"));
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), FromUtf8("ファイル " + (dir / "missing.txt") + " は開けません"));
    }
    // A writer holding the file exclusively keeps readers out, as a denied share would.
    dir.Write("busy.txt", "x");
    const int fd = ::open((dir / "busy.txt").c_str(), O_RDWR);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_THROW(BodyText("-f=" + (dir / "busy.txt")), EFOpenError);
    ::close(fd);
    EXPECT_EQ(BodyText("-f=" + (dir / "busy.txt")), "x");
}

TEST(CommandLine, PathExists) {
    test::TempDir dir;
    dir.Write("a.txt", "");
    EXPECT_TRUE(PathExists(dir / "a.txt"));
    EXPECT_TRUE(PathExists(dir.Path())) << "a directory passes";
    EXPECT_FALSE(PathExists(dir / "b.txt"));
}

TEST(ErrorBox, FullStopRule) {
    struct Case {
        std::string In, Out;
    } cases[] = {
        {"abc", "abc."},
        {"abc.", "abc."},
        {"abc!", "abc!"},    // '!' sorts below '.'
        {"path/", "path/."}, // '/' sorts above '.'
        {"", ""},
        {"421 busy\r\n", "421 busy\r\n"},
        {"ファイル x は開けません", "ファイル x は開けません."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Ui::WithFullStop(c.In), c.Out) << c.In;
}

} // namespace
} // namespace quillo
