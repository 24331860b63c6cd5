#include "Program.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quillo::test {

ProgramResult RunQuillo(const std::vector<std::string>& Args, const TempDir& Home,
                        int TimeLimitMs) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        const std::string name = var.substr(0, var.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
            name == "QUILLO_HOME" || name.rfind("LC_", 0) == 0 || name == "LANG" ||
            name == "LANGUAGE")
            continue;
        env.push_back(var);
    }
    env.push_back("QUILLO_HOME=" + Home.Path());
    env.push_back("LC_ALL=C.UTF-8");
    std::vector<char*> envp;
    for (auto& v : env)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    std::vector<std::string> argvStore{QUILLO_EXE};
    argvStore.insert(argvStore.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string errPath = Home / ".stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = ::open("/dev/null", O_RDWR);
        if (err < 0 || null < 0 || ::chdir(Home.Path().c_str()) != 0) ::_exit(127);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err, 2);
        ::execve(QUILLO_EXE, argv.data(), envp.data());
        ::_exit(127);
    }
    ProgramResult result;
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeLimitMs);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (status != -1 && WIFEXITED(status)) result.Status = WEXITSTATUS(status);
    result.Stderr = Home.Read(".stderr");
    std::remove(errPath.c_str());
    return result;
}

void WriteSettings(const TempDir& Home, const Settings& S) {
    Home.Write("quillo.ini", "[Setup]\r\nhost=" + S.Host + "\r\nuser=" + S.User +
                                 "\r\naddress=" + S.Address + "\r\nname=" + S.Name +
                                 "\r\nbcc=" + S.Bcc + "\r\nerrdlg=" + S.ErrDlg +
                                 "\r\nport=" + std::to_string(S.Port) + "\r\n" + S.Extra);
}

} // namespace quillo::test
