#include "platform/StringList.h"

#include <stdexcept>

#include "platform/Exceptions.h"

namespace quillo {

int TStringList::Add(std::string Line) {
    lines_.push_back(std::move(Line));
    return Count() - 1;
}

void TStringList::Insert(int Index, std::string Line) {
    if (Index < 0 || Index > Count())
        throw ERangeError("List index out of bounds (" + std::to_string(Index) + ")");
    lines_.insert(lines_.begin() + Index, std::move(Line));
}

void TStringList::Delete(int Index) {
    if (Index < 0 || Index >= Count())
        throw ERangeError("List index out of bounds (" + std::to_string(Index) + ")");
    lines_.erase(lines_.begin() + Index);
}

std::string TStringList::Text() const {
    std::size_t total = 0;
    for (const auto& l : lines_)
        total += l.size() + 2;
    std::string out;
    out.reserve(total);
    for (const auto& l : lines_) {
        out += l;
        out += "\r\n";
    }
    return out;
}

void TStringList::SetText(std::string_view Text) {
    lines_.clear();
    std::size_t start = 0;
    while (start < Text.size()) {
        const std::size_t crlf = Text.find("\r\n", start);
        if (crlf == std::string_view::npos) {
            lines_.emplace_back(Text.substr(start));
            break;
        }
        lines_.emplace_back(Text.substr(start, crlf - start));
        start = crlf + 2;
    }
}

} // namespace quillo
