#include "smtp/Nmextstr.h"

#include "platform/CodePage.h"

namespace quillo {

namespace {

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Position of the first ":" that is a character of its own (never a trail byte), or npos.
std::size_t NameEnd(std::string_view Line, const TCodePage& Cp) {
    for (std::size_t i = 0; i < Line.size(); i += CharLength(Line, i, Cp))
        if (Line[i] == ':') return i;
    return std::string_view::npos;
}

// Case-insensitive for ASCII letters only; walks both texts character by character so that
// a byte inside a multibyte character is never folded or matched on its own.
bool SameName(std::string_view A, std::string_view B, const TCodePage& Cp) {
    if (A.size() != B.size()) return false;
    std::size_t i = 0;
    while (i < A.size()) {
        const std::size_t la = CharLength(A, i, Cp);
        if (la != CharLength(B, i, Cp)) return false;
        if (la == 1) {
            if (AsciiLower(A[i]) != AsciiLower(B[i])) return false;
        } else if (A.substr(i, la) != B.substr(i, la)) {
            return false;
        }
        i += la;
    }
    return true;
}

} // namespace

int TExStringList::IndexOfName(std::string_view Name) const {
    const TCodePage& cp = SystemCodePage();
    for (int i = 0; i < Count(); ++i) {
        const std::string_view line = (*this)[i];
        const std::size_t colon = NameEnd(line, cp);
        if (colon == std::string_view::npos) continue;
        if (SameName(line.substr(0, colon), Name, cp)) return i;
    }
    return -1;
}

void TExStringList::SetValue(std::string_view Name, std::string_view Value) {
    int i = IndexOfName(Name);
    if (Value.empty()) {
        if (i >= 0) Delete(i);
        return;
    }
    if (i < 0) i = Add(std::string());
    std::string line;
    line.reserve(Name.size() + 2 + Value.size());
    line.append(Name).append(": ").append(Value);
    (*this)[i] = std::move(line);
}

std::string TExStringList::GetValue(std::string_view Name) const {
    const int i = IndexOfName(Name);
    if (i < 0) return {};
    const std::string_view line = (*this)[i];
    std::string_view rest = line.substr(NameEnd(line, SystemCodePage()) + 1);
    if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    return std::string(rest);
}

} // namespace quillo
