#include "platform/ProgramFolder.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace quillo {

std::string ExecutableFolder() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return ".";
        if (static_cast<std::size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<std::size_t>(n));
            const std::size_t slash = path.rfind('/');
            if (slash == std::string::npos) return ".";
            return slash == 0 ? "/" : path.substr(0, slash);
        }
        buf.resize(buf.size() * 2);
    }
}

std::string ProgramFolder() {
    const char* home = std::getenv("QUILLO_HOME");
    if (home && *home) return home;
    return ExecutableFolder();
}

std::string JoinPath(std::string_view Folder, std::string_view Name) {
    std::string path(Folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += Name;
    return path;
}

} // namespace quillo
