// A temporary folder for a test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quillo::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillo-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
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

    void Write(const std::string& Name, const std::string& Content) const {
        std::ofstream(*this / Name, std::ios::binary) << Content;
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
