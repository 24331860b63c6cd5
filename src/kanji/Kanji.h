// The Japanese code converter: text in the system code page to ISO-2022-JP (RFC 1468), and
// ISO-2022-JP text to header-safe RFC 2047 encoded words.
//
// Output rules: only ESC $ B and ESC ( B are used; the text starts and ends in ASCII and
// returns to ASCII before every CR LF; no escape sequence is ever followed directly by
// another. Halfwidth katakana become fullwidth (voiced marks composed), NEC row 13 and the
// NEC-selected kanji (rows 89 to 92) are kept, IBM extensions are sent as their NEC
// equivalents; anything without a JIS code, and any malformed input, becomes GETA MARK
// (JIS 22 2E). Every function here accepts any bytes, never throws on bad input and runs in
// linear time.
#pragma once

#include "platform/CodePage.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo::kanji {

// The option setting. "j" (or "-j") selects ISO-2022-JP output, which is also the default
// and the only output there is; any other option is ignored.
void SetOption(std::string_view Option);

// Text in the system code page (or the one given) to ISO-2022-JP. CR LF pairs are kept; a
// lone CR or LF becomes CR LF, so the result never holds a bare one. NUL, ESC, SO and SI
// are dropped. Lines are not reflowed.
std::string Convert(std::string_view Text);
std::string Convert(std::string_view Text, const TCodePage& Cp);

// The value of an unstructured header field (e.g. after "Subject: ") from ISO-2022-JP text
// (a result of Convert). FirstLineUsed is how many characters of the first header line
// precede the value ("Subject: " = 9).
//
// A text that is plain ASCII stays as it is, except that CR, LF and TAB become blanks and
// other control characters are dropped. Any other text is encoded whole as encoded words
// "=?ISO-2022-JP?B?...?=", each at most 75 characters and self-contained (whole characters,
// back to ASCII at its end), joined by CR LF and a blank so that no header line holding one
// is longer than 76 characters. The result never holds a bare CR or LF.
std::string EncodeHeader(std::string_view Jis, std::size_t FirstLineUsed);

// What goes between "From: " and "<" + Address + ">" for the display name given as
// ISO-2022-JP text (a result of Convert). The result includes the separator before "<":
//   - empty name: empty;
//   - plain ASCII without address specials: the name exactly as given (no blank), e.g.
//     "Taro Yamada" -> "From: Taro Yamada<taro@example.com>";
//   - plain ASCII with specials ( ) < > [ ] : ; @ \ , . " or with "=?": a quoted string
//     with " and \ escaped, then a blank;
//   - anything else: encoded words as in EncodeHeader (first line "From: "), then a blank,
//     or CR LF and a blank when the address would make the last line longer than 76.
// Control characters are treated as in EncodeHeader.
std::string EncodeDisplayName(std::string_view Jis, std::string_view Address);

} // namespace quillo::kanji
