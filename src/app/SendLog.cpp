#include "app/SendLog.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quillo {

std::string LogLine(std::string_view DateTime, const std::vector<std::string>& Args,
                    std::string_view Message) {
    std::string text(DateTime);
    text += ',';
    for (const std::string& a : Args) {
        text += a;
        text += ',';
    }
    text += Message;
    text += '\n';
    // Written as a text file: every LF goes out as CR LF.
    std::string line;
    line.reserve(text.size() + 4);
    for (const char c : text) {
        if (c == '\n') line += '\r';
        line += c;
    }
    return line;
}

bool AppendLine(const std::string& Path, std::string_view Line) {
    const int fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = true;
    // One write: O_APPEND places it at the end as a whole. Only a short write (disk full)
    // makes a second one.
    while (!Line.empty()) {
        const ssize_t n = ::write(fd, Line.data(), Line.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        Line.remove_prefix(static_cast<std::size_t>(n));
    }
    return (::close(fd) == 0) && ok;
}

} // namespace quillo
