// Conversion to ISO-2022-JP. CP932 is converted by arithmetic on the Shift_JIS bytes; every
// other code page is first turned into CP932 with iconv.
#include "kanji/Kanji.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

namespace quillo::kanji {

namespace {

constexpr char Esc = 0x1B;
// GETA MARK, the stand-in for anything that has no JIS code.
constexpr unsigned char GetaRow = 0x22, GetaCell = 0x2E;

// Shift_JIS pointers (188 per lead byte, 94 per JIS row).
constexpr unsigned JisEnd = 94 * 94;                            // rows 1 to 94
constexpr unsigned IbmFirst = (0xFA - 0xC1) * 188;              // FA40
constexpr unsigned IbmKanji = IbmFirst + 28;                    // FA5C, the first IBM kanji
constexpr unsigned IbmLast = (0xFC - 0xC1) * 188 + 0x4B - 0x40; // FC4B
constexpr unsigned IbmToNec = 2472;                             // FA5C -> ED40, same order

// Which cells of rows 1 to 94 hold a character in CP932: JIS X 0208, NEC row 13 and the
// NEC-selected kanji in rows 89 to 92. Everything else (rows 9 to 12, 14, 15, 85 to 88, 93,
// 94 and the gaps of rows 2 to 8) has no character.
class TAssigned {
public:
    constexpr TAssigned() {
        auto Cells = [this](unsigned Row, unsigned First, unsigned Last) {
            for (unsigned c = First; c <= Last; ++c)
                Set((Row - 1) * 94 + c - 1);
        };
        Cells(1, 1, 94);
        Cells(2, 1, 14);
        Cells(2, 26, 33);
        Cells(2, 42, 48);
        Cells(2, 60, 74);
        Cells(2, 82, 89);
        Cells(2, 94, 94);
        Cells(3, 16, 25);
        Cells(3, 33, 58);
        Cells(3, 65, 90);
        Cells(4, 1, 83);
        Cells(5, 1, 86);
        Cells(6, 1, 24);
        Cells(6, 33, 56);
        Cells(7, 1, 33);
        Cells(7, 49, 81);
        Cells(8, 1, 32);
        Cells(13, 1, 30);
        Cells(13, 32, 54);
        Cells(13, 63, 92);
        for (unsigned r = 16; r <= 46; ++r)
            Cells(r, 1, 94);
        Cells(47, 1, 51);
        for (unsigned r = 48; r <= 83; ++r)
            Cells(r, 1, 94);
        Cells(84, 1, 6);
        for (unsigned r = 89; r <= 91; ++r)
            Cells(r, 1, 94);
        Cells(92, 1, 78);
        Cells(92, 81, 94);
    }
    constexpr bool operator[](unsigned Pointer) const {
        return (Bits[Pointer >> 6] >> (Pointer & 63)) & 1;
    }

private:
    constexpr void Set(unsigned Pointer) {
        Bits[Pointer >> 6] |= std::uint64_t{1} << (Pointer & 63);
    }
    std::array<std::uint64_t, (JisEnd + 63) / 64> Bits{};
};

constexpr TAssigned Assigned;

// The nine NEC row 13 cells that repeat row 2 characters go out as row 2, which strict
// JIS X 0208 readers understand. Index: cell - 80 of row 13 (cells 80 to 92).
constexpr std::array<std::uint16_t, 13> Row13Duplicates = {
    0x2262, 0x2261, 0x2269, 0,      0,      0x2265, 0x225D,
    0x225C, 0,      0,      0x2268, 0x2241, 0x2240}; // cells 80 81 82 85 86 87 90 91 92

// IBM non-kanji FA40..FA5B: where the same character lives in NEC-selected, row 13 or row 2.
constexpr std::array<std::uint16_t, 28> IbmSymbols = {
    0x7C71, 0x7C72, 0x7C73, 0x7C74, 0x7C75, 0x7C76, 0x7C77, 0x7C78, 0x7C79, 0x7C7A, // i..x
    0x2D35, 0x2D36, 0x2D37, 0x2D38, 0x2D39, 0x2D3A, 0x2D3B, 0x2D3C, 0x2D3D, 0x2D3E, // I..X
    0x224C, 0x7C7C, 0x7C7D, 0x7C7E, 0x2D6A, 0x2D62, 0x2D64, 0x2268};

// Halfwidth katakana A1..DF as fullwidth JIS codes.
constexpr std::array<std::uint16_t, 63> Halfwidth = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529,
    0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B,
    0x252D, 0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541,
    0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555,
    0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};

// The JIS code of a Shift_JIS pointer, GETA MARK where there is none.
std::uint16_t JisOfPointer(unsigned p) {
    if (p >= IbmFirst && p <= IbmLast) {
        if (p < IbmKanji) return IbmSymbols[p - IbmFirst];
        p -= IbmToNec;
    }
    if (p >= JisEnd || !Assigned[p]) return GetaRow << 8 | GetaCell;
    const unsigned row = p / 94, cell = p % 94;
    if (row == 12 && cell >= 79 && Row13Duplicates[cell - 79] != 0)
        return Row13Duplicates[cell - 79];
    return static_cast<std::uint16_t>((row + 0x21) << 8 | (cell + 0x21));
}

// Output grows in place; each step first makes room for its longest result.
class TWriter {
public:
    explicit TWriter(std::size_t Expected) : Out(Expected + Expected / 2 + 64, '\0') {}
    void Room(std::size_t n) {
        if (Out.size() - Pos < n) Out.resize(Out.size() * 2 + n);
    }
    void Byte(char c) { Out[Pos++] = c; }
    void Ascii() {
        if (InJis) {
            Escape('(', 'B');
            InJis = false;
        }
    }
    void Jis(std::uint16_t Code) {
        if (!InJis) {
            Escape('$', 'B');
            InJis = true;
        }
        Out[Pos++] = static_cast<char>(Code >> 8);
        Out[Pos++] = static_cast<char>(Code & 0xFF);
    }
    std::string Finish() {
        Room(3);
        Ascii();
        Out.resize(Pos);
        return std::move(Out);
    }

private:
    void Escape(char a, char b) {
        Out[Pos++] = Esc;
        Out[Pos++] = a;
        Out[Pos++] = b;
    }
    std::string Out;
    std::size_t Pos = 0;
    bool InJis = false;
};

// Byte classes of CP932.
enum : unsigned char { cPlain, cControl, cKana, cLead, cInvalid };

constexpr std::array<unsigned char, 256> MakeClasses() {
    std::array<unsigned char, 256> c{};
    for (unsigned b = 0; b < 256; ++b) {
        if (b < 0x80)
            c[b] = cPlain;
        else if (b >= 0xA1 && b <= 0xDF)
            c[b] = cKana;
        else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC))
            c[b] = cLead;
        else
            c[b] = cInvalid;
    }
    for (unsigned b : {0x00, 0x0A, 0x0D, 0x0E, 0x0F, 0x1B})
        c[b] = cControl;
    return c;
}
constexpr std::array<unsigned char, 256> Classes = MakeClasses();

std::string ConvertCp932(std::string_view Text) {
    TWriter w(Text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(Text.data());
    const auto* const e = s + Text.size();
    while (s < e) {
        w.Room(16);
        const unsigned b = *s;
        switch (Classes[b]) {
        case cPlain:
            w.Ascii();
            w.Byte(static_cast<char>(b));
            ++s;
            break;
        case cControl:
            ++s;
            if (b == '\r' || b == '\n') {
                // Every line end goes out as CR LF, in ASCII.
                if (b == '\r' && s < e && *s == '\n') ++s;
                w.Ascii();
                w.Byte('\r');
                w.Byte('\n');
            } // NUL, ESC, SO and SI would break the stream: dropped.
            break;
        case cKana: {
            ++s;
            std::uint16_t code = Halfwidth[b - 0xA1];
            if (s < e && (*s == 0xDE || *s == 0xDF)) {
                const bool voiced = *s == 0xDE;
                if (voiced && ((b >= 0xB6 && b <= 0xC4) || (b >= 0xCA && b <= 0xCE))) {
                    code += 1;
                    ++s;
                } else if (!voiced && b >= 0xCA && b <= 0xCE) {
                    code += 2;
                    ++s;
                } else if (voiced && b == 0xB3) {
                    code = 0x2574; // VU
                    ++s;
                }
            }
            w.Jis(code);
            break;
        }
        case cLead: {
            const unsigned t = s + 1 < e ? s[1] : 0;
            if (t >= 0x40 && t <= 0xFC && t != 0x7F) {
                const unsigned p =
                    (b - (b <= 0x9F ? 0x81 : 0xC1)) * 188 + t - (t < 0x7F ? 0x40 : 0x41);
                w.Jis(JisOfPointer(p));
                s += 2;
            } else {
                // A bad trail byte that is ASCII is read again on its own.
                w.Jis(GetaRow << 8 | GetaCell);
                s += (s + 1 < e && t >= 0x80) ? 2 : 1;
            }
            break;
        }
        default:
            w.Jis(GetaRow << 8 | GetaCell);
            ++s;
            break;
        }
    }
    return w.Finish();
}

// RAII around an iconv descriptor.
class TIconv {
public:
    TIconv(const char* To, const char* From) : Cd(iconv_open(To, From)) {}
    ~TIconv() {
        if (Ok()) iconv_close(Cd);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Ok() const { return Cd != reinterpret_cast<iconv_t>(-1); }

    // Appends the conversion of In to Out. A character that cannot be read or has no code in
    // the target becomes Substitute; Skip tells how many bytes such a character takes.
    template <class SkipFn>
    void Append(std::string_view In, std::string& Out, std::string_view Substitute, SkipFn Skip) {
        std::size_t pos = 0;
        std::size_t used = Out.size();
        iconv(Cd, nullptr, nullptr, nullptr, nullptr);
        while (pos < In.size()) {
            if (Out.size() - used < 64) Out.resize(Out.size() + (In.size() - pos) * 2 + 64);
            char* in = const_cast<char*>(In.data()) + pos;
            std::size_t inLeft = In.size() - pos;
            char* o = Out.data() + used;
            std::size_t oLeft = Out.size() - used;
            const std::size_t r = iconv(Cd, &in, &inLeft, &o, &oLeft);
            used = static_cast<std::size_t>(o - Out.data());
            pos = In.size() - inLeft;
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                if (Out.size() - used < Substitute.size())
                    Out.resize(used + Substitute.size() + 64);
                std::memcpy(Out.data() + used, Substitute.data(), Substitute.size());
                used += Substitute.size();
                pos += Skip(In, pos);
            }
        }
        Out.resize(used);
    }

private:
    iconv_t Cd;
};

std::size_t Utf8Skip(std::string_view In, std::size_t Pos) {
    static const TCodePage utf8 = CodePageOf("UTF-8");
    return CharLength(In, Pos, utf8);
}

// UTF-8 to CP932. YEN SIGN and OVERLINE, which CP932 would fold into backslash and tilde,
// become the fullwidth forms; both Unicode forms of the wave dash family are accepted by
// the CP932 converter as they are.
std::string Utf8ToCp932(std::string_view Utf8) {
    std::string out;
    out.reserve(Utf8.size() + 16);
    TIconv cd("CP932", "UTF-8");
    std::size_t start = 0;
    auto Flush = [&](std::size_t End) {
        const std::string_view part = Utf8.substr(start, End - start);
        if (cd.Ok()) {
            cd.Append(part, out, "\x81\xAC", Utf8Skip);
            return;
        }
        for (std::size_t i = 0; i < part.size(); i += Utf8Skip(part, i)) {
            if (static_cast<unsigned char>(part[i]) < 0x80)
                out += part[i];
            else
                out += "\x81\xAC";
        }
    };
    for (std::size_t i = 0; i < Utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(Utf8[i]);
        if (c == 0xC2 && i + 1 < Utf8.size() && Utf8[i + 1] == '\xA5') {
            Flush(i);
            out += "\x81\x8F"; // FULLWIDTH YEN SIGN
            start = i + 2;
            ++i;
        } else if (c == 0xE2 && i + 2 < Utf8.size() && Utf8[i + 1] == '\x80' &&
                   Utf8[i + 2] == '\xBE') {
            Flush(i);
            out += "\x81\x50"; // FULLWIDTH MACRON
            start = i + 3;
            i += 2;
        }
    }
    Flush(Utf8.size());
    return out;
}

// Any other code page goes through UTF-8, so the special cases above apply to it too.
std::string ToUtf8(std::string_view Text, const TCodePage& Cp) {
    std::string out;
    TIconv cd("UTF-8", Cp.Name.c_str());
    if (!cd.Ok()) {
        for (char c : Text)
            out += static_cast<unsigned char>(c) < 0x80 ? std::string(1, c) : "\xE3\x80\x93";
        return out;
    }
    cd.Append(Text, out, "\xE3\x80\x93",
              [&Cp](std::string_view In, std::size_t Pos) { return CharLength(In, Pos, Cp); });
    return out;
}

} // namespace

// ISO-2022-JP is the only output there is, so "j" asks for what is already set.
void SetOption(std::string_view) {}

std::string Convert(std::string_view Text) {
    return Convert(Text, SystemCodePage());
}

std::string Convert(std::string_view Text, const TCodePage& Cp) {
    switch (Cp.Kind) {
    case TCodePageKind::ShiftJis:
        return ConvertCp932(Text);
    case TCodePageKind::Utf8:
        return ConvertCp932(Utf8ToCp932(Text));
    case TCodePageKind::EucJp:
    case TCodePageKind::SingleByte:
        break;
    }
    return ConvertCp932(Utf8ToCp932(ToUtf8(Text, Cp)));
}

} // namespace quillo::kanji
