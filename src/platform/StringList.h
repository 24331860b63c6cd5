// An ordered list of text lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"

namespace quillo {

class TStringList : public TObject {
public:
    TStringList() = default;

    int Count() const { return static_cast<int>(lines_.size()); }
    std::string& operator[](int Index) { return lines_.at(static_cast<std::size_t>(Index)); }
    const std::string& operator[](int Index) const {
        return lines_.at(static_cast<std::size_t>(Index));
    }
    int Add(std::string Line);
    void Insert(int Index, std::string Line);
    void Delete(int Index);
    void Clear() { lines_.clear(); }
    // Copies the other list's lines; the other list stays as it is.
    void Assign(const TStringList& Source) { lines_ = Source.lines_; }

    // Every line followed by CR LF, the last one included.
    std::string Text() const;
    // Splits at each CR LF; an empty last piece is no line, a lone CR or LF stays in its line.
    void SetText(std::string_view Text);

    const std::vector<std::string>& Lines() const { return lines_; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }

private:
    std::vector<std::string> lines_;
};

} // namespace quillo
