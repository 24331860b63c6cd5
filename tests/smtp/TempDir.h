// A temporary folder for test files, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quillo::test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillo-smtp-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Writes a file under the folder (creating sub-folders) and gives its path.
    std::string Write(const std::string& Name, const std::string& Bytes) const {
        const std::filesystem::path p = path_ / Name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << Bytes;
        return p.string();
    }

private:
    std::filesystem::path path_;
};

} // namespace quillo::test
