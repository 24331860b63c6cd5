// The system code page: the locale's codeset, which every text the user gives is in.
// Lengths stay byte counts in that code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo {

enum class TCodePageKind { Utf8, ShiftJis, EucJp, SingleByte };

struct TCodePage {
    std::string Name; // charset name as iconv and MIME know it, e.g. "UTF-8", "Shift_JIS"
    TCodePageKind Kind = TCodePageKind::Utf8;
};

// Taken from nl_langinfo(CODESET) the first time it is asked for (call setlocale first);
// the C and POSIX locales count as UTF-8.
const TCodePage& SystemCodePage();
// Replaces the system code page by the one of this codeset name (tests, or a fixed setting).
void SetSystemCodePage(std::string_view Codeset);
TCodePage CodePageOf(std::string_view Codeset);

// Byte length (at least 1) of the character that starts at Pos, never reaching past the end.
// A malformed sequence counts as one byte.
std::size_t CharLength(std::string_view Text, std::size_t Pos,
                       const TCodePage& Cp = SystemCodePage());
// The longest prefix of at most MaxBytes bytes that does not end inside a character.
std::string_view CutToBytes(std::string_view Text, std::size_t MaxBytes,
                            const TCodePage& Cp = SystemCodePage());
// The program keeps its own texts in UTF-8; this converts one to the code page where it is
// written out. A character the code page lacks becomes "?".
std::string FromUtf8(std::string_view Utf8, const TCodePage& Cp = SystemCodePage());

} // namespace quillo
