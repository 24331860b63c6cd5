#include "JisCheck.h"
#include "kanji/Kanji.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <optional>

namespace quillo::kanji {
namespace {

using test::Hex;
using test::Unhex;
using test::WellFormedJis;

const TCodePage Sjis = CodePageOf("CP932");
const TCodePage Utf8 = CodePageOf("UTF-8");

struct TVector {
    const char* Name;
    const char* In;  // hex
    const char* Out; // hex
};

// The reference vectors for CP932 input (ESC $ B = 1b2442, ESC ( B = 1b2842).
const TVector BodyVectors[] = {
    {"ascii", "48656c6c6f2c20576f726c6421", "48656c6c6f2c20576f726c6421"},
    {"hiragana", "82b182f182c982bf82cd", "1b2442 24332473244b2441244f 1b2842"},
    {"kanji", "93fa967b8cea", "1b2442 467c4b5c386c 1b2842"},
    {"mixed", "546573742093fa967b204f4b", "5465737420 1b2442 467c4b5c 1b2842 204f4b"},
    {"kanji then ascii", "93fa967b8cea616263", "1b2442 467c4b5c386c 1b2842 616263"},
    {"line break", "93fa967b0d0a8cea", "1b2442 467c4b5c 1b2842 0d0a 1b2442 386c 1b2842"},
    {"halfwidth voiced", "b6deb7decadfb3de", "1b2442 252c252e25512574 1b2842"},
    {"stray marks", "deb1dfc5dedcde", "1b2442 212b2522212c254a212b256f212b 1b2842"},
    {"halfwidth punctuation", "a2baddc6c1caa3a1",
     "1b2442 2156 2533 2573 254b 2541 254f 2157 2123 1b2842"},
    {"row 13", "8740", "1b2442 2d21 1b2842"},
    {"row 13 symbols", "8754878a8782", "1b2442 2d352d6a2d62 1b2842"},
    {"row 13 duplicate of row 2", "8790", "1b2442 2262 1b2842"},
    {"NEC-selected", "ed40", "1b2442 7921 1b2842"},
    {"IBM kanji", "fbfc", "1b2442 7c62 1b2842"},
    {"IBM small roman", "fa40", "1b2442 7c71 1b2842"},
    {"IBM roman", "fa4a", "1b2442 2d35 1b2842"},
    {"IBM not sign", "fa54", "1b2442 224c 1b2842"},
    {"IBM because", "fa5b", "1b2442 2268 1b2842"},
    {"backslash tilde", "5c7e", "5c7e"},
    {"wave dash", "8160", "1b2442 2141 1b2842"},
    {"minus", "817c", "1b2442 215d 1b2842"},
    {"user-defined", "f040", "1b2442 222e 1b2842"},
    // Composition and its limits, line ends and what must never pass through.
    {"VU, DU, PO", "b3dec2decedf", "1b2442 2574 2545 255d 1b2842"},
    {"WA and WO do not compose", "dcdea6de", "1b2442 256f 212b 2572 212b 1b2842"},
    {"KA with the semi-voiced mark", "b6df", "1b2442 252b 212c 1b2842"},
    {"double mark", "cadede", "1b2442 2550 212b 1b2842"},
    {"mark after kanji", "93fade", "1b2442 467c 212b 1b2842"},
    {"lone LF and CR", "610a620d63", "610d0a620d0a63"},
    {"CR LF kept", "0d0a0d0a", "0d0a0d0a"},
    {"kanji before lone LF", "93fa0a", "1b2442 467c 1b2842 0d0a"},
    {"ESC, SO, SI, NUL dropped", "1b2442 0e 0f 00 41", "244241"},
    {"dropped ESC keeps one run", "93fa1b967b", "1b2442 467c4b5c 1b2842"},
    {"tab and other controls kept", "09 07 7f", "09077f"},
    {"unassigned row 2 cell", "81ad", "1b2442 222e 1b2842"},
    {"empty rows 9 to 12", "8540", "1b2442 222e 1b2842"},
    {"row 13 gap", "875e", "1b2442 222e 1b2842"},
    {"NEC-selected gap", "eeed", "1b2442 222e 1b2842"},
    {"after the IBM block", "fc4c", "1b2442 222e 1b2842"},
    {"bytes that start nothing", "80 a0 fd fe ff", "1b2442 222e222e222e222e222e 1b2842"},
    {"lead at the end", "4193", "41 1b2442 222e 1b2842"},
    {"lead before ASCII keeps it", "93 20", "1b2442 222e 1b2842 20"},
    {"lead before a line end", "930d0a", "1b2442 222e 1b2842 0d0a"},
    {"lead before a non-trail", "93ff41", "1b2442 222e 1b2842 41"},
    {"empty", "", ""},
};

TEST(Convert, Cp932Vectors) {
    for (const TVector& v : BodyVectors) {
        const std::string out = Convert(Unhex(v.In), Sjis);
        EXPECT_EQ(Hex(out), Hex(Unhex(v.Out))) << v.Name;
        EXPECT_TRUE(WellFormedJis(out)) << v.Name;
    }
}

// Unicode input: both forms of the wave dash family, YEN SIGN and OVERLINE as fullwidth,
// and 〓 for what CP932 lacks or what is not UTF-8 at all.
TEST(Convert, Utf8Vectors) {
    const TVector vectors[] = {
        {"kanji and kana", "日本語のテキスト", "1b2442 467c4b5c386c244e2546252d25392548 1b2842"},
        {"yen sign", "¥", "1b2442 216f 1b2842"},
        {"overline", "‾", "1b2442 2131 1b2842"},
        {"backslash tilde", "\\~", "5c7e"},
        {"wave dash, both forms", "〜～", "1b2442 21412141 1b2842"},
        {"double vertical line, both forms", "‖∥", "1b2442 21422142 1b2842"},
        {"minus, both forms", "−－", "1b2442 215d215d 1b2842"},
        {"cent, pound, not, both forms", "¢￠£￡¬￢",
         "1b2442 2171 2171 2172 2172 224c 224c 1b2842"},
        {"dashes", "—―", "1b2442 213d213d 1b2842"},
        {"row 13 duplicate", "≒", "1b2442 2262 1b2842"},
        {"IBM kanji", "髙", "1b2442 7c62 1b2842"},
        {"row 13", "①㈱", "1b2442 2d212d6a 1b2842"},
        {"halfwidth", "ｶﾞｯｺｳ", "1b2442 252c254325332526 1b2842"},
        {"no CP932 code", "a😀b\u00e9", "61 1b2442 222e 1b2842 62 1b2442 222e 1b2842"},
        {"private use", "\uE000", "1b2442 222e 1b2842"},
        {"invalid bytes", "a\xff\xc3", "61 1b2442 222e222e 1b2842"},
        {"escape dropped", "\x1b$B", "2442"},
    };
    for (const TVector& v : vectors) {
        const std::string out = Convert(v.In, Utf8);
        EXPECT_EQ(Hex(out), Hex(Unhex(v.Out))) << v.Name;
        EXPECT_TRUE(WellFormedJis(out)) << v.Name;
    }
}

TEST(Convert, OtherCodePages) {
    // EUC-JP: kanji, the JIS form of the wave dash, halfwidth katakana, a JIS X 0212 kanji
    // that CP932 lacks, and a broken byte.
    EXPECT_EQ(Hex(Convert(Unhex("c6fccbdc a1c1 8eb6 8ede 8fb0a1 ff"), CodePageOf("EUC-JP"))),
              Hex(Unhex("1b2442 467c4b5c 2141 252c 222e 222e 1b2842")));
    // A single-byte code page: YEN SIGN in Latin-1 as well.
    EXPECT_EQ(Hex(Convert("a\xa5", CodePageOf("ISO-8859-1"))), Hex(Unhex("61 1b2442 216f 1b2842")));
}

TEST(Convert, SystemCodePageAndOption) {
    SetOption("j");
    SetSystemCodePage("CP932");
    EXPECT_EQ(Hex(Convert(Unhex("93fa"))), Hex(Unhex("1b2442 467c 1b2842")));
    SetSystemCodePage("UTF-8");
    EXPECT_EQ(Hex(Convert("日")), Hex(Unhex("1b2442 467c 1b2842")));
}

// RAII iconv for the comparison below.
class TCd {
public:
    TCd(const char* To, const char* From) : Cd(iconv_open(To, From)) {}
    ~TCd() {
        if (Cd != reinterpret_cast<iconv_t>(-1)) iconv_close(Cd);
    }
    TCd(const TCd&) = delete;
    TCd& operator=(const TCd&) = delete;
    std::optional<std::string> operator()(std::string_view In) {
        iconv(Cd, nullptr, nullptr, nullptr, nullptr);
        char buf[64];
        char* in = const_cast<char*>(In.data());
        std::size_t inLeft = In.size();
        char* out = buf;
        std::size_t outLeft = sizeof buf;
        if (iconv(Cd, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        if (iconv(Cd, nullptr, nullptr, &out, &outLeft) == static_cast<std::size_t>(-1))
            return std::nullopt;
        return std::string(buf, out);
    }

private:
    iconv_t Cd;
};

// The Shift_JIS bytes of a JIS code (rows 1 to 94).
std::string SjisOf(unsigned char Row, unsigned char Cell) {
    const unsigned p = (Row - 0x21u) * 94 + (Cell - 0x21u);
    const unsigned lead = p / 188 + (p / 188 < 31 ? 0x81 : 0xC1);
    const unsigned off = p % 188;
    return {static_cast<char>(lead), static_cast<char>(off + (off < 0x3F ? 0x40 : 0x41))};
}

// Every double-byte code against the C library's CP932 table: a character CP932 knows keeps
// its meaning (read back through CP932), and equals the library's own ISO-2022-JP where that
// can encode it; anything else (no character, user-defined) becomes 〓.
TEST(Convert, EveryDoubleByteCodeKeepsItsCharacter) {
    TCd toUnicode("UTF-8", "CP932"), toJis("ISO-2022-JP", "UTF-8");
    const std::string geta = Unhex("1b2442 222e 1b2842");
    int compared = 0, kept = 0;
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead >= 0xA0 && lead <= 0xDF) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const std::string in{static_cast<char>(lead), static_cast<char>(trail)};
            const std::string out = Convert(in, Sjis);
            ASSERT_TRUE(WellFormedJis(out));
            std::optional<std::string> u = toUnicode(in);
            const bool privateUse =
                u && u->size() == 3 && static_cast<unsigned char>((*u)[0]) == 0xEE; // U+E000..
            if (!u || privateUse) {
                EXPECT_EQ(Hex(out), Hex(geta)) << Hex(in);
                continue;
            }
            ASSERT_EQ(out.size(), 8u) << Hex(in);
            EXPECT_EQ(toUnicode(SjisOf(static_cast<unsigned char>(out[3]),
                                       static_cast<unsigned char>(out[4]))),
                      u)
                << Hex(in) << " -> " << Hex(out);
            ++kept;
            if (std::optional<std::string> lib = toJis(*u)) {
                EXPECT_EQ(Hex(out), Hex(*lib)) << Hex(in);
                ++compared;
            }
        }
    }
    EXPECT_EQ(kept, 7724); // JIS X 0208, row 13, NEC-selected and IBM extensions
    EXPECT_GT(compared, 6800);
}

} // namespace
} // namespace quillo::kanji
