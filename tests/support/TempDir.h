// A temporary folder for a test, removed with everything in it (also after a test made
// it read-only).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>
#include <string>

namespace quillo::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillo-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& Name) const { return path_ + "/" + Name; }

    // Writes a file under the folder (creating sub-folders) and gives its path.
    std::string Write(const std::string& Name, const std::string& Content) const {
        const std::filesystem::path p = *this / Name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << Content;
        return p.string();
    }
    std::string Read(const std::string& Name) const {
        std::ifstream in(*this / Name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    bool Exists(const std::string& Name) const { return std::filesystem::exists(*this / Name); }

private:
    std::string path_;
};

} // namespace quillo::test
