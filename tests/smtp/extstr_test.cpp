// The header list's lookup by header name.
#include "platform/CodePage.h"
#include "smtp/Nmextstr.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

// The list is built in place: components are not copyable.
struct Lines : TExStringList {
    Lines(std::initializer_list<const char*> L) {
        for (const char* l : L)
            Add(l);
    }
};

TEST(ExStringList, IndexOfNameMatchesTheTextBeforeTheFirstColon) {
    const Lines list(
        {"NoColon", "From: a", "subject: x", "X-Mailer : q", " Reply-To: r", "Date:1:2"});
    const std::pair<const char*, int> cases[] = {
        {"From", 1},      {"SUBJECT", 2},   {"Subject", 2},   {"X-Mailer", -1}, // blanks count
        {"X-Mailer ", 3}, {"Reply-To", -1}, {" reply-to", 4}, {"Date", 5},
        {"NoColon", -1},  {"", -1},         {"Fro", -1},
    };
    for (const auto& [name, index] : cases)
        EXPECT_EQ(list.IndexOfName(name), index) << name;
    EXPECT_EQ(Lines({": empty name"}).IndexOfName(""), 0);
    EXPECT_EQ(Lines({"To: a", "to: b"}).IndexOfName("TO"), 0); // the first wins
}

TEST(ExStringList, SetValueReplacesInPlaceAddsOrDeletes) {
    Lines list({"From: a", "subject: old", "To: b"});
    list.SetValue("Subject", "new"); // in place, with the caller's letter case
    list.SetValue("X-Mailer", "Quillo");
    list.SetValue("Reply-To", ""); // nothing to delete, nothing added
    EXPECT_EQ(list.Text(), "From: a\r\nSubject: new\r\nTo: b\r\nX-Mailer: Quillo\r\n");
    list.SetValue("to", "");
    EXPECT_EQ(list.Text(), "From: a\r\nSubject: new\r\nX-Mailer: Quillo\r\n");
}

TEST(ExStringList, GetValueDropsOneLeadingBlank) {
    const Lines list({"A: one", "B:two", "C:  three", "D:", "E: x: y"});
    EXPECT_EQ(list.GetValue("a"), "one");
    EXPECT_EQ(list.GetValue("B"), "two");
    EXPECT_EQ(list.GetValue("C"), " three");
    EXPECT_EQ(list.GetValue("D"), "");
    EXPECT_EQ(list.GetValue("E"), "x: y");
    EXPECT_EQ(list.GetValue("Z"), "");
}

// In Shift_JIS the second byte of a character can be an ASCII letter: "\x83\x41" and
// "\x83\x61" are two different characters and must not match as "A" and "a" would.
TEST(ExStringList, NeverFoldsInsideAMultibyteCharacter) {
    const TCodePage saved = SystemCodePage();
    SetSystemCodePage("Shift_JIS");
    const Lines list({"\x83\x41X: one", "\x83\x61x: two"});
    EXPECT_EQ(list.IndexOfName("\x83\x61X"), 1);
    EXPECT_EQ(list.IndexOfName("\x83\x41x"), 0);
    EXPECT_EQ(list.IndexOfName("\x83\x41"), -1);
    EXPECT_EQ(Lines({"\x83\x41\x83\x61: v"}).IndexOfName("\x83\x61\x83\x41"), -1);
    SetSystemCodePage(saved.Name);
}

} // namespace
} // namespace quillo
