#include "platform/IniFile.h"

#include "platform/CodePage.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quillo {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Bytes from 128 up are compared exactly, so no multibyte character is ever split.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

struct Line {
    std::string Text; // without its line end
    const char* Eol;  // "\r\n", "\n" or "" for a last line without one
};

struct Document {
    std::vector<Line> Lines;
    const char* Eol = "\r\n"; // line end for lines added to the file
};

bool ReadWhole(const std::string& Path, std::string& Out) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return n == 0;
        }
        Out.append(buf, static_cast<std::size_t>(n));
    }
}

Document Parse(std::string_view Content) {
    Document doc;
    bool eolSeen = false;
    std::size_t pos = 0;
    while (pos < Content.size()) {
        const std::size_t nl = Content.find('\n', pos);
        Line line{{}, ""};
        if (nl == std::string_view::npos) {
            line.Text = std::string(Content.substr(pos));
            pos = Content.size();
        } else {
            std::size_t end = nl;
            line.Eol = "\n";
            if (end > pos && Content[end - 1] == '\r') {
                --end;
                line.Eol = "\r\n";
            }
            line.Text = std::string(Content.substr(pos, end - pos));
            pos = nl + 1;
            if (!eolSeen) {
                doc.Eol = line.Eol;
                eolSeen = true;
            }
        }
        doc.Lines.push_back(std::move(line));
    }
    return doc;
}

// The name of a section line "[name]", or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view Text) {
    const std::string_view t = Trim(Text);
    if (t.empty() || t.front() != '[') return std::nullopt;
    std::string_view name = t.substr(1);
    const std::size_t close = name.find(']');
    if (close != std::string_view::npos) name = name.substr(0, close);
    return Trim(name);
}

struct KeyLine {
    std::string_view Key;
    std::string_view Value;
};

// A key line inside a section: "key=value", or a bare "key" with an empty value. Blank and
// comment lines are none.
std::optional<KeyLine> ParseKey(std::string_view Text) {
    const std::string_view t = Trim(Text);
    if (t.empty() || t.front() == ';') return std::nullopt;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return KeyLine{t, {}};
    return KeyLine{Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

struct Location {
    std::optional<std::size_t> Section; // index of the section line
    std::size_t SectionEnd = 0;         // index one past the section's last line
    std::optional<std::size_t> Key;     // index of the key line
    std::size_t LastKey = 0;            // index of the section's last key line (or header)
};

Location Find(const Document& Doc, std::string_view Section, std::string_view Key) {
    Location loc;
    for (std::size_t i = 0; i < Doc.Lines.size(); ++i) {
        const auto name = SectionName(Doc.Lines[i].Text);
        if (!name) continue;
        if (loc.Section) {
            loc.SectionEnd = i;
            return loc;
        }
        if (SameName(*name, Section)) {
            loc.Section = i;
            loc.LastKey = i;
            for (std::size_t k = i + 1; k < Doc.Lines.size(); ++k) {
                if (SectionName(Doc.Lines[k].Text)) break;
                const auto kl = ParseKey(Doc.Lines[k].Text);
                if (!kl) continue;
                loc.LastKey = k;
                if (!loc.Key && SameName(kl->Key, Key)) loc.Key = k;
            }
        }
    }
    loc.SectionEnd = Doc.Lines.size();
    return loc;
}

std::optional<std::string> ReadValue(std::string_view Section, std::string_view Key,
                                     const std::string& Path) {
    std::string content;
    if (!ReadWhole(Path, content)) return std::nullopt;
    const Document doc = Parse(content);
    const Location loc = Find(doc, Section, Key);
    if (!loc.Key) return std::nullopt;
    std::string_view value = ParseKey(doc.Lines[*loc.Key].Text)->Value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

bool WriteAll(int fd, std::string_view Data) {
    while (!Data.empty()) {
        const ssize_t n = ::write(fd, Data.data(), Data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        Data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes Content to a temporary file beside Path and renames it over Path.
bool ReplaceFile(const std::string& Path, std::string_view Content) {
    std::string target = Path;
    struct stat st {};
    mode_t mode;
    if (::lstat(Path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace what the link points at, not the link itself.
        if (char* real = ::realpath(Path.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = WriteAll(fd, Content) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

} // namespace

std::string GetPrivateProfileString(std::string_view Section, std::string_view Key,
                                    std::string_view Default, std::size_t Size,
                                    const std::string& Path) {
    if (Size == 0) return {};
    const auto value = ReadValue(Section, Key, Path);
    return std::string(CutToBytes(value ? std::string_view(*value) : Default, Size - 1));
}

int GetPrivateProfileInt(std::string_view Section, std::string_view Key, int Default,
                         const std::string& Path) {
    const auto value = ReadValue(Section, Key, Path);
    if (!value || value->empty()) return Default;
    std::string_view s = *value;
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::uint32_t n = 0;
    while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
        n = n * 10u + static_cast<std::uint32_t>(s.front() - '0');
        s.remove_prefix(1);
    }
    if (negative) n = 0u - n;
    return static_cast<int>(static_cast<std::int32_t>(n));
}

bool WritePrivateProfileString(std::string_view Section, std::string_view Key,
                               std::string_view Value, const std::string& Path) {
    const std::size_t cut = Value.find_first_of("\r\n");
    if (cut != std::string_view::npos) Value = Value.substr(0, cut);

    std::string content;
    if (!ReadWhole(Path, content) && errno != ENOENT) return false;
    Document doc = Parse(content);
    const Location loc = Find(doc, Section, Key);
    std::string keyLine(Key);
    keyLine.append("=").append(Value);

    if (loc.Key) {
        doc.Lines[*loc.Key].Text = keyLine;
    } else {
        // A last line without its line end gets one before anything follows it.
        if (!doc.Lines.empty() && !*doc.Lines.back().Eol) doc.Lines.back().Eol = doc.Eol;
        if (loc.Section) {
            doc.Lines.insert(doc.Lines.begin() + static_cast<std::ptrdiff_t>(loc.LastKey + 1),
                             Line{keyLine, doc.Eol});
        } else {
            if (!doc.Lines.empty() && !Trim(doc.Lines.back().Text).empty())
                doc.Lines.push_back(Line{std::string(), doc.Eol});
            std::string header = "[";
            header.append(Section).append("]");
            doc.Lines.push_back(Line{std::move(header), doc.Eol});
            doc.Lines.push_back(Line{keyLine, doc.Eol});
        }
    }

    std::string out;
    out.reserve(content.size() + keyLine.size() + 16);
    for (const Line& l : doc.Lines) {
        out += l.Text;
        out += l.Eol;
    }
    return ReplaceFile(Path, out);
}

} // namespace quillo
