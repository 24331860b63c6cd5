#include "app/CommandLine.h"

#include "platform/Exceptions.h"
#include "platform/FileStream.h"

#include <cerrno>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>

namespace quillo {

std::vector<std::string> CommandLineItems(int argc, const char* const* argv) {
    std::vector<std::string> items;
    for (int i = 1; i < argc; ++i)
        if (argv[i] && *argv[i]) items.emplace_back(argv[i]);
    return items;
}

std::string MakeCrLf(std::string_view Text, const TCodePage& Cp) {
    std::string out;
    out.reserve(Text.size() + Text.size() / 32 + 2);
    std::size_t pos = 0;
    while (pos < Text.size()) {
        const char c = Text[pos];
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            pos += (c == '\r' && pos + 1 < Text.size() && Text[pos + 1] == '\n') ? 2 : 1;
            continue;
        }
        const std::size_t n = CharLength(Text, pos, Cp);
        out.append(Text.substr(pos, n));
        pos += n;
    }
    return out;
}

std::string BodyText(const std::string& Argument, const TCodePage& Cp) {
    if (Argument.compare(0, 3, "-f=") != 0) return MakeCrLf(Argument, Cp) + "\r\n";

    // The name is never cut, however long it is.
    const std::string name = Argument.substr(3);
    TFileStream file(name, fmOpenRead);
    // Readers may share the file, writers may not: one that holds it exclusively makes the
    // open fail as a sharing violation would.
    if (::flock(file.Handle(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        throw EFOpenError(FromUtf8("ファイル ", Cp) + name + FromUtf8(" は開けません", Cp));
    std::string content;
    char buf[65536];
    for (;;) {
        const std::int32_t n = file.Read(buf, static_cast<std::int32_t>(sizeof buf));
        if (n <= 0) break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    return MakeCrLf(content, Cp);
}

bool PathExists(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0;
}

} // namespace quillo
