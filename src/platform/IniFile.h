// Profile (INI) files with the behaviour of the classic profile functions:
// section and key names match without regard to (ASCII) letter case, blanks around keys and
// values are trimmed, one pair of surrounding quotes is removed on reading, comment lines
// (";") are skipped on reading and kept on writing. A missing file, section or key yields the
// default; reading never fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo {

// The value of Key in Section, or Default when there is none. Like the classic call with a
// buffer of Size bytes, the result holds at most Size - 1 bytes, cut so that no character of
// the system code page is left half.
std::string GetPrivateProfileString(std::string_view Section, std::string_view Key,
                                    std::string_view Default, std::size_t Size,
                                    const std::string& Path);

// The value read as a decimal integer: leading blanks, an optional sign, then digits up to the
// first non-digit (none gives 0); wraps like a 32-bit value. A missing or empty value gives
// Default.
int GetPrivateProfileInt(std::string_view Section, std::string_view Key, int Default,
                         const std::string& Path);

// Sets Key in Section to Value, creating file, section or key when missing and keeping every
// other line as it was. New files get CR LF line ends; an existing file keeps its own. The
// file is replaced atomically (a temporary file in the same folder, then rename), so a crash
// never leaves half a file. Returns false when it cannot be written; nothing is reported.
// A CR or LF would start a line of its own, so the value is cut there.
bool WritePrivateProfileString(std::string_view Section, std::string_view Key,
                               std::string_view Value, const std::string& Path);

} // namespace quillo
