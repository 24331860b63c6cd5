#include "JisCheck.h"
#include "kanji/Kanji.h"

#include <gtest/gtest.h>

namespace quillo::kanji {
namespace {

using test::HeaderForm;
using test::Unhex;

const TCodePage Sjis = CodePageOf("CP932");
const TCodePage Utf8 = CodePageOf("UTF-8");

std::string Subject(std::string_view Text, const TCodePage& Cp = Utf8) {
    return "Subject: " + EncodeHeader(Convert(Text, Cp), 9);
}

std::string From(std::string_view Name, std::string_view Address) {
    return "From: " + EncodeDisplayName(Convert(Name, Utf8), Address) + "<" + std::string(Address) +
           ">";
}

TEST(EncodeHeader, ReferenceSubjects) {
    struct {
        const char* Name;
        std::string Text;
        const TCodePage& Cp;
        const char* Expected;
    } const cases[] = {
        {"H1 short", Unhex("89ef8b6382cc82a8926d82e782b9"), Sjis,
         "Subject: =?ISO-2022-JP?B?GyRCMnE1RCROJCpDTiRpJDsbKEI=?="},
        {"H2 long",
         "これは長い日本語の件名です。二つ以上のエンコードワードに分割されることを確認するためのテ"
         "スト用の文字列です",
         Utf8,
         "Subject: =?ISO-2022-JP?B?GyRCJDMkbCRPRDkkJEZ8S1w4bCRON29MPiRHJDkhI0ZzGyhC?=\r\n"
         " =?ISO-2022-JP?B?GyRCJEQwSj5lJE4lKCVzJTMhPCVJJW8hPCVJJEtKLDNkJDUkbCRrGyhC?=\r\n"
         " =?ISO-2022-JP?B?GyRCJDMkSCRyM05HJyQ5JGskPyRhJE4lRiU5JUhNUSROSjg7ek5zGyhC?=\r\n"
         " =?ISO-2022-JP?B?GyRCJEckORsoQg==?="},
        {"H3 mixed", "Re: 会議の日程 (3/14) について ABC", Utf8,
         "Subject: =?ISO-2022-JP?B?UmU6IBskQjJxNUQkTkZ8RHgbKEIgKDMvMTQpIBskQiRLGyhC?=\r\n"
         " =?ISO-2022-JP?B?GyRCJEQkJCRGGyhCIEFCQw==?="},
        {"H4 ascii", "Hello World", Utf8, "Subject: Hello World"},
        {"H5 row 13", "①の件", Utf8, "Subject: =?ISO-2022-JP?B?GyRCLSEkTjdvGyhC?="},
        {"empty", "", Utf8, "Subject: "},
    };
    for (const auto& c : cases) {
        const std::string got = Subject(c.Text, c.Cp);
        EXPECT_EQ(got, c.Expected) << c.Name;
        EXPECT_TRUE(HeaderForm(got, 0)) << c.Name;
    }
}

// No value can end the header line or add one: CR, LF and TAB become blanks, other
// controls go; in encoded words as well as in plain ASCII.
TEST(EncodeHeader, ControlsNeverReachTheHeader) {
    EXPECT_EQ(Subject("a\r\nBcc: x@y\tz\x01\x7f!"), "Subject: a  Bcc: x@y z!");
    EXPECT_EQ(Subject("a\rb"), "Subject: a  b"); // the lone CR became CR LF
    // Raw input that is no converter output: 8-bit bytes, half codes, foreign escapes.
    EXPECT_EQ(EncodeHeader("\x1b(Jok\x1b$@", 9), "ok");
    const std::string encoded = EncodeHeader("\x1b$B\x46\x7c\r\n\x1b(B\x1b$(D\x90\x1b$B\x46", 9);
    std::vector<std::string> words;
    ASSERT_TRUE(HeaderForm(encoded, 9, &words));
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(test::Hex(words[0]), test::Hex(Unhex("1b2442 467c 1b2842 2020 2428 44 1b2442 "
                                                   "222e 222e 1b2842")));
}

// Long texts of every kind of character pack into the most that fits, whatever the field
// name takes on the first line, and keep whole characters.
TEST(EncodeHeader, FoldsWithinLimits) {
    const std::string texts[] = {
        std::string(200, 'a') + "日",
        "ｶﾞｷﾞｸﾞ abc 漢字かな交じり文 12345 ＡＢＣ ①②③ 髙 " + std::string(30, 'x'),
        "日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語日本語",
        "a日b本c語d日e本f語g日h本i語j日k本l語m日n本o語p日q本r語",
    };
    for (const std::string& t : texts) {
        for (std::size_t used : {0u, 9u, 30u, 60u, 80u}) {
            const std::string value = EncodeHeader(Convert(t, Utf8), used);
            std::vector<std::string> words;
            ASSERT_TRUE(HeaderForm(value, used, &words)) << t << " after " << used;
            ASSERT_FALSE(words.empty());
            std::string joined;
            for (const std::string& w : words)
                joined += w;
            EXPECT_EQ(test::Characters(joined), test::Characters(Convert(t, Utf8))) << t;
        }
    }
}

TEST(EncodeDisplayName, Forms) {
    struct {
        const char* Name;
        const char* Address;
        const char* Expected;
    } const cases[] = {
        {"山田 太郎", "taro@example.jp",
         "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?= <taro@example.jp>"},
        {"Taro Yamada", "taro@example.com", "From: Taro Yamada<taro@example.com>"},
        {"", "taro@example.com", "From: <taro@example.com>"},
        {"Yamada \"Boss\" <x>", "taro@example.jp",
         "From: \"Yamada \\\"Boss\\\" <x>\" <taro@example.jp>"},
        {"Yamada, Taro", "t@x.jp", "From: \"Yamada, Taro\" <t@x.jp>"},
        {"a\\b", "t@x.jp", "From: \"a\\\\b\" <t@x.jp>"},
        {"=?ISO-2022-JP?B?GyRCRnwbKEI=?=", "t@x.jp",
         "From: \"=?ISO-2022-JP?B?GyRCRnwbKEI=?=\" <t@x.jp>"},
        {"Taro\r\nBcc: x@y", "t@x.jp", "From: \"Taro  Bcc: x@y\" <t@x.jp>"},
        {"Taro\r\n", "t@x.jp", "From: Taro  <t@x.jp>"},
        // Too long for one line with the address: fold before it.
        {"山田 太郎", "a-rather-long-mailbox-name-for-testing@mail.example.co.jp",
         "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQiAbJEJCQE86GyhC?=\r\n"
         " <a-rather-long-mailbox-name-for-testing@mail.example.co.jp>"},
        // Sixteen kanji fill the first line.
        {"一二三四五六七八九十一二三四五六七", "t@x.jp",
         "From: =?ISO-2022-JP?B?GyRCMGxGczswO004Xk87PDdILDZlPT0wbEZzOzA7TTheTzsbKEI=?=\r\n"
         " =?ISO-2022-JP?B?GyRCPDcbKEI=?= <t@x.jp>"},
    };
    for (const auto& c : cases) {
        const std::string line = From(c.Name, c.Address);
        EXPECT_EQ(line, c.Expected) << c.Name;
        EXPECT_TRUE(HeaderForm(line, 0)) << c.Name;
    }
}

} // namespace
} // namespace quillo::kanji
