// Random input of every kind must always give well-formed output.
#include "JisCheck.h"
#include "kanji/Kanji.h"

#include <array>
#include <gtest/gtest.h>
#include <random>

namespace quillo::kanji {
namespace {

using test::Characters;
using test::HeaderForm;
using test::WellFormedJis;

std::string Utf8Of(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | c >> 6);
        s += static_cast<char>(0x80 | (c & 63));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | c >> 12);
        s += static_cast<char>(0x80 | ((c >> 6) & 63));
        s += static_cast<char>(0x80 | (c & 63));
    } else {
        s += static_cast<char>(0xF0 | c >> 18);
        s += static_cast<char>(0x80 | ((c >> 12) & 63));
        s += static_cast<char>(0x80 | ((c >> 6) & 63));
        s += static_cast<char>(0x80 | (c & 63));
    }
    return s;
}

// Pieces that matter to the converter, mixed with plain random bytes.
std::string RandomText(std::mt19937& g) {
    auto Pick = [&g](unsigned Lo, unsigned Hi) {
        return std::uniform_int_distribution<unsigned>(Lo, Hi)(g);
    };
    std::string s;
    const unsigned pieces = Pick(0, 60);
    for (unsigned i = 0; i < pieces; ++i) {
        switch (Pick(0, 11)) {
        case 0:
            s += static_cast<char>(Pick(0, 255));
            break;
        case 1:
            s += static_cast<char>(Pick(0x20, 0x7E));
            break;
        case 2:
            s += std::string_view("\r\n\r\n\x1b\x0e\x0f\t\0 ", 10).substr(Pick(0, 9), Pick(1, 2));
            break;
        case 3: // CP932 double byte, valid or not
            s += static_cast<char>(Pick(0x81, 0xFC));
            s += static_cast<char>(Pick(0x30, 0xFF));
            break;
        case 4: // halfwidth katakana and marks
            s += static_cast<char>(Pick(0xA1, 0xDF));
            if (Pick(0, 1)) s += static_cast<char>(Pick(0xDE, 0xDF));
            break;
        case 5:
            s += "\x1b$B";
            break;
        case 6:
            s += Utf8Of(Pick(0x3041, 0x30FF));
            break;
        case 7:
            s += Utf8Of(Pick(0x4E00, 0x9FFF));
            break;
        case 8:
            s += Utf8Of(std::array<char32_t, 8>{0xA5, 0x203E, 0x301C, 0xFF5E, 0x2014, 0xE000,
                                                0x1F600, 0xFF76}[Pick(0, 7)]);
            break;
        case 9:
            s += Utf8Of(Pick(0x80, 0x10FFFF) & ~0xF800u); // keep out of the surrogates
            break;
        case 10: // EUC-JP, valid or not
            s += static_cast<char>(Pick(0x8E, 0xFE));
            s += static_cast<char>(Pick(0xA1, 0xFE));
            break;
        default:
            s += "abc def";
            break;
        }
    }
    return s;
}

// What a header makes of converted text: CR, LF and TAB become blanks, other controls go.
std::string HeaderCharacters(std::string_view Jis) {
    const std::string c = Characters(Jis);
    std::string out;
    for (std::size_t i = 0; i < c.size(); ++i) {
        const auto b = static_cast<unsigned char>(c[i]);
        if (b == 0x80) {
            out += c.substr(i, 3);
            i += 2;
        } else if (b == '\r' || b == '\n' || b == '\t') {
            out += ' ';
        } else if (b >= 0x20 && b != 0x7F) {
            out += static_cast<char>(b);
        }
    }
    return out;
}

TEST(KanjiProperty, RandomInputGivesWellFormedOutput) {
    const TCodePage pages[] = {CodePageOf("CP932"), CodePageOf("UTF-8"), CodePageOf("EUC-JP")};
    const char* addresses[] = {"t@x.jp", "a-rather-long-mailbox-name-for-testing@example.co.jp"};
    std::mt19937 g(20240611);
    for (int round = 0; round < 3000; ++round) {
        const std::string in = RandomText(g);
        const std::size_t used = std::uniform_int_distribution<std::size_t>(0, 80)(g);
        for (const TCodePage& cp : pages) {
            const std::string jis = Convert(in, cp);
            ASSERT_TRUE(WellFormedJis(jis)) << cp.Name << " " << test::Hex(in);

            const std::string subject = EncodeHeader(jis, used);
            std::vector<std::string> words;
            ASSERT_TRUE(HeaderForm(subject, used, &words)) << test::Hex(in);
            std::string decoded;
            for (const std::string& w : words)
                decoded += w;
            if (words.empty()) decoded = subject;
            EXPECT_EQ(Characters(decoded), HeaderCharacters(jis)) << test::Hex(in);

            const char* address = addresses[round % 2];
            const std::string from =
                "From: " + EncodeDisplayName(jis, address) + "<" + address + ">";
            ASSERT_TRUE(HeaderForm(from, 0)) << test::Hex(in);
        }
        // The header side also copes with input that never went through the conversion.
        ASSERT_TRUE(HeaderForm(EncodeHeader(in, used), used)) << test::Hex(in);
        ASSERT_TRUE(HeaderForm("From: " + EncodeDisplayName(in, "t@x.jp") + "<t@x.jp>", 0))
            << test::Hex(in);
    }
}

} // namespace
} // namespace quillo::kanji
