#include "platform/CodePage.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>

namespace quillo {

namespace {

std::string Upper(std::string_view s) {
    std::string u(s);
    for (auto& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    u.erase(std::remove(u.begin(), u.end(), '-'), u.end());
    u.erase(std::remove(u.begin(), u.end(), '_'), u.end());
    return u;
}

std::optional<TCodePage>& Current() {
    static std::optional<TCodePage> cp;
    return cp;
}

std::size_t Utf8Length(std::string_view t, std::size_t pos) {
    const auto b = static_cast<unsigned char>(t[pos]);
    std::size_t n;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        n = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        n = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        n = 4;
    else
        return 1;
    if (pos + n > t.size())
        return 1;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(t[pos + i]) & 0xC0) != 0x80)
            return 1;
    return n;
}

} // namespace

TCodePage CodePageOf(std::string_view Codeset) {
    const std::string u = Upper(Codeset);
    if (u.empty() || u == "UTF8" || u == "ANSIX3.41968" || u == "ASCII" || u == "USASCII" ||
        u == "646")
        return {"UTF-8", TCodePageKind::Utf8};
    if (u == "SHIFTJIS" || u == "SJIS" || u == "CP932" || u == "WINDOWS31J" || u == "MSKANJI")
        return {"Shift_JIS", TCodePageKind::ShiftJis};
    if (u == "EUCJP" || u == "EUCJPMS")
        return {"EUC-JP", TCodePageKind::EucJp};
    return {std::string(Codeset), TCodePageKind::SingleByte};
}

const TCodePage& SystemCodePage() {
    auto& cp = Current();
    if (!cp)
        cp = CodePageOf(nl_langinfo(CODESET));
    return *cp;
}

void SetSystemCodePage(std::string_view Codeset) { Current() = CodePageOf(Codeset); }

std::size_t CharLength(std::string_view Text, std::size_t Pos, const TCodePage& Cp) {
    if (Pos >= Text.size())
        return 1;
    const auto b = static_cast<unsigned char>(Text[Pos]);
    const bool hasNext = Pos + 1 < Text.size();
    switch (Cp.Kind) {
    case TCodePageKind::Utf8:
        return Utf8Length(Text, Pos);
    case TCodePageKind::ShiftJis:
        return (((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && hasNext) ? 2 : 1;
    case TCodePageKind::EucJp:
        if (b == 0x8F)
            return Pos + 2 < Text.size() ? 3 : 1;
        return ((b == 0x8E || (b >= 0xA1 && b <= 0xFE)) && hasNext) ? 2 : 1;
    case TCodePageKind::SingleByte:
        break;
    }
    return 1;
}

std::string_view CutToBytes(std::string_view Text, std::size_t MaxBytes, const TCodePage& Cp) {
    if (Text.size() <= MaxBytes)
        return Text;
    std::size_t pos = 0;
    while (pos < Text.size()) {
        const std::size_t n = CharLength(Text, pos, Cp);
        if (pos + n > MaxBytes)
            break;
        pos += n;
    }
    return Text.substr(0, pos);
}

std::string FromUtf8(std::string_view Utf8, const TCodePage& Cp) {
    if (Cp.Kind == TCodePageKind::Utf8)
        return std::string(Utf8);
    // CP932 rather than plain Shift_JIS so that halfwidth katakana and NEC symbols convert.
    const char* to = Cp.Kind == TCodePageKind::ShiftJis ? "CP932" : Cp.Name.c_str();
    iconv_t cd = iconv_open(to, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(Utf8);
    std::string out;
    char buf[256];
    std::size_t pos = 0;
    while (pos < Utf8.size()) {
        char* in = const_cast<char*>(Utf8.data()) + pos;
        std::size_t inLeft = Utf8.size() - pos;
        char* o = buf;
        std::size_t oLeft = sizeof buf;
        const std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, static_cast<std::size_t>(o - buf));
        pos = Utf8.size() - inLeft;
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += '?';
            pos += Utf8Length(Utf8, pos);
        }
    }
    iconv_close(cd);
    return out;
}

} // namespace quillo
