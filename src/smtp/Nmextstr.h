// The header list: a string list that finds and sets a line by its header name.
#pragma once

#include "platform/StringList.h"

#include <string>
#include <string_view>

namespace quillo {

// A line's header name is the text before its first ":". Names match without regard to the
// case of ASCII letters; the bytes of a multibyte character are compared exactly.
class TExStringList : public TStringList {
public:
    // Index of the first line whose header name equals Name, or -1.
    int IndexOfName(std::string_view Name) const;
    // Replaces the line of that name in place (or appends one) with Name + ": " + Value;
    // an empty Value deletes the line instead.
    void SetValue(std::string_view Name, std::string_view Value);
    // The text after the name and its colon, one leading blank removed; empty when no line.
    std::string GetValue(std::string_view Name) const;
};

} // namespace quillo
