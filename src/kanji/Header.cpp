// Header encoding of ISO-2022-JP text: plain ASCII stays readable, anything else becomes
// RFC 2047 "B" encoded words, each self-contained, folded to keep lines within 76.
#include "kanji/Kanji.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quillo::kanji {

namespace {

constexpr std::size_t MaxLine = 76; // a header line holding an encoded word
constexpr std::size_t MaxWord = 75;
constexpr std::string_view WordStart = "=?ISO-2022-JP?B?";
constexpr std::string_view WordEnd = "?=";
constexpr std::string_view Fold = "\r\n ";
constexpr std::uint16_t Geta = 0x222E;

// One character: an ASCII byte (below 0x80) or a JIS X 0208 code (row byte in the high half).
using TUnit = std::uint16_t;
bool IsJis(TUnit u) {
    return u >= 0x100;
}

bool Graphic(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}

// Reads ISO-2022-JP text into characters. Whatever does not belong there (8-bit bytes, half
// a JIS code, unknown escapes) never reaches the header: a stray byte becomes GETA MARK, an
// unknown ESC is dropped. CR, LF and TAB become blanks and other controls are dropped, so no
// value can end or add a header line.
std::vector<TUnit> Characters(std::string_view Jis) {
    std::vector<TUnit> units;
    units.reserve(Jis.size());
    bool jis = false;
    for (std::size_t i = 0; i < Jis.size();) {
        const auto c = static_cast<unsigned char>(Jis[i]);
        if (c == 0x1B) {
            const std::string_view seq = Jis.substr(i + 1, 2);
            if (seq == "(B" || seq == "(J") {
                jis = false;
                i += 3;
            } else if (seq == "$B" || seq == "$@") {
                jis = true;
                i += 3;
            } else {
                ++i;
            }
            continue;
        }
        if (c >= 0x80) {
            units.push_back(Geta);
            ++i;
        } else if (jis && Graphic(c)) {
            if (i + 1 < Jis.size() && Graphic(static_cast<unsigned char>(Jis[i + 1]))) {
                units.push_back(
                    static_cast<TUnit>(c << 8 | static_cast<unsigned char>(Jis[i + 1])));
                i += 2;
            } else {
                units.push_back(Geta);
                ++i;
            }
        } else {
            if (c == '\r' || c == '\n' || c == '\t')
                units.push_back(' ');
            else if (c >= 0x20 && c != 0x7F)
                units.push_back(c);
            ++i;
        }
    }
    return units;
}

bool AllAscii(const std::vector<TUnit>& Units) {
    return std::none_of(Units.begin(), Units.end(), IsJis);
}

std::string AsciiText(const std::vector<TUnit>& Units) {
    std::string s;
    s.reserve(Units.size());
    for (TUnit u : Units)
        s += static_cast<char>(u);
    return s;
}

void Base64(std::string_view Raw, std::string& Out) {
    static constexpr char Digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    auto B = [&](std::size_t k) { return static_cast<unsigned char>(Raw[k]); };
    for (; i + 3 <= Raw.size(); i += 3) {
        const unsigned v = B(i) << 16 | B(i + 1) << 8 | B(i + 2);
        Out += Digits[v >> 18];
        Out += Digits[(v >> 12) & 63];
        Out += Digits[(v >> 6) & 63];
        Out += Digits[v & 63];
    }
    if (const std::size_t rest = Raw.size() - i; rest > 0) {
        const unsigned v = B(i) << 16 | (rest == 2 ? B(i + 1) << 8 : 0);
        Out += Digits[v >> 18];
        Out += Digits[(v >> 12) & 63];
        Out += rest == 2 ? Digits[(v >> 6) & 63] : '=';
        Out += '=';
    }
}

std::size_t WordLength(std::size_t RawLength) {
    return WordStart.size() + (RawLength + 2) / 3 * 4 + WordEnd.size();
}

// Packs the characters greedily into encoded words: as many whole characters as fit, every
// word starting in ASCII and returning to it. The first word shares its line with FirstUsed
// characters; later words follow CR LF and a blank. LastLine is the length of the last line.
std::string EncodedWords(const std::vector<TUnit>& Units, std::size_t FirstUsed,
                         std::size_t& LastLine) {
    std::string out, raw;
    bool inJis = false;
    std::size_t used = FirstUsed;
    std::size_t limit = std::min(MaxWord, FirstUsed < MaxLine ? MaxLine - FirstUsed : 0);
    auto Close = [&] {
        if (inJis) raw += "\x1B(B";
        inJis = false;
        out += WordStart;
        Base64(raw, out);
        out += WordEnd;
        LastLine = used + WordLength(raw.size());
        raw.clear();
    };
    auto NextLine = [&] {
        out += Fold;
        used = 1;
        limit = MaxWord;
    };
    for (TUnit u : Units) {
        const bool j = IsJis(u);
        auto Grown = [&] { return raw.size() + (j != inJis ? 3 : 0) + (j ? 2 : 1) + (j ? 3 : 0); };
        if (WordLength(Grown()) > limit) {
            if (!raw.empty()) Close();
            NextLine(); // also when not even one character fits beside the field name
        }
        if (j != inJis) raw += j ? "\x1B$B" : "\x1B(B";
        inJis = j;
        if (j) raw += static_cast<char>(u >> 8);
        raw += static_cast<char>(u & 0xFF);
    }
    Close();
    return out;
}

// A display name that is plain ASCII needs quoting when it holds an address special, or
// something a reader would take for an encoded word.
bool NeedsQuotes(std::string_view Name) {
    return Name.find_first_of("()<>[]:;@\\,.\"") != std::string_view::npos ||
           Name.find("=?") != std::string_view::npos;
}

} // namespace

std::string EncodeHeader(std::string_view Jis, std::size_t FirstLineUsed) {
    const std::vector<TUnit> units = Characters(Jis);
    if (AllAscii(units)) return AsciiText(units);
    std::size_t last = 0;
    return EncodedWords(units, FirstLineUsed, last);
}

std::string EncodeDisplayName(std::string_view Jis, std::string_view Address) {
    const std::vector<TUnit> units = Characters(Jis);
    if (units.empty()) return {};
    if (AllAscii(units)) {
        std::string name = AsciiText(units);
        if (!NeedsQuotes(name)) return name;
        std::string quoted = "\"";
        for (char c : name) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return quoted + "\" ";
    }
    // An encoded word needs white space before the "<"; fold there rather than let the
    // address push the line past 76.
    constexpr std::size_t FromField = 6; // "From: "
    std::size_t last = 0;
    std::string words = EncodedWords(units, FromField, last);
    const std::size_t angle = Address.size() + 2;
    words += last + 1 + angle <= MaxLine ? std::string_view(" ") : Fold;
    return words;
}

} // namespace quillo::kanji
