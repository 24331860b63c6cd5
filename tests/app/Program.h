// Runs the quillo program in a child process, with its settings folder in a temporary folder,
// no display, and a bounded time.
#pragma once

#include "support/TempDir.h"

#include <string>
#include <vector>

namespace quillo::test {

struct ProgramResult {
    int Status = -1; // exit status; -1 when it did not exit normally in time
    std::string Stderr;
};

// argv[1..] = Args; QUILLO_HOME = Home; the current directory is Home.
ProgramResult RunQuillo(const std::vector<std::string>& Args, const TempDir& Home,
                        int TimeLimitMs = 15000);

// A quillo.ini with the settings as given, errdlg and port as integers.
struct Settings {
    std::string Host = "127.0.0.1";
    std::string User = "client.example";
    std::string Address = "taro@example.com";
    std::string Name = "Taro Yamada";
    std::string Bcc = "keep@example.com";
    std::string ErrDlg = "1";
    int Port = 25;
    std::string Extra; // further lines of the section
};
void WriteSettings(const TempDir& Home, const Settings& S);

} // namespace quillo::test
