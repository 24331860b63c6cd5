// Interoperability with a real SMTP server (aiosmtpd on a loopback port); the received mail
// is read back with Python's email package.
#include "support/TempDir.h"
#include "smtp/Nmsmtp.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quillo::test {
namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kHere = QUILLO_SMTP_TESTS_DIR;

// A child process with its standard input and output on pipes. Reading is bounded in time;
// the destructor closes its input, waits a bounded time, and kills it only if it is still
// there.
class Child {
public:
    explicit Child(const std::vector<std::string>& Argv) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char*> args;
        for (const auto& a : Argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc =
            ::posix_spawn(&pid_, Argv[0].c_str(), &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (rc != 0) pid_ = -1;
    }
    ~Child() {
        CloseInput();
        if (pid_ > 0 && !WaitExit(std::chrono::seconds(10))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(output_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return pid_ > 0; }
    void CloseInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    // Everything the child writes until it closes its output or the limit passes.
    std::string ReadAll(std::chrono::milliseconds Limit) {
        std::string all;
        while (ReadSome(all, Limit)) {
        }
        return all;
    }
    // Reads until a whole line has come; empty when the limit passes first.
    std::string ReadLine(std::chrono::milliseconds Limit) {
        std::string got;
        while (got.find('\n') == std::string::npos)
            if (!ReadSome(got, Limit)) return {};
        return got;
    }
    bool WaitExit(std::chrono::milliseconds Limit) {
        const auto end = std::chrono::steady_clock::now() + Limit;
        while (std::chrono::steady_clock::now() < end) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    bool ReadSome(std::string& Into, std::chrono::milliseconds Limit) {
        pollfd p{output_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(Limit.count())) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::read(output_, buf, sizeof buf);
        if (n <= 0) return false;
        Into.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

std::string Inspect(const std::vector<std::string>& Args) {
    std::vector<std::string> argv{kPython, kHere + "/read_mail.py"};
    argv.insert(argv.end(), Args.begin(), Args.end());
    Child child(argv);
    return child.ReadAll(std::chrono::seconds(20));
}

std::string ReadFile(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Deterministic bytes of every value, so that base64 meets all its cases.
std::string Bytes(std::size_t Size) {
    std::string out(Size, '\0');
    std::uint32_t x = 12345;
    for (auto& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return out;
}

TEST(SmtpInterop, RealServerReceivesWhatWasSent) {
    TempDir dir;
    const std::string store = dir / "store";
    std::filesystem::create_directories(store);
    Child sink({kPython, kHere + "/smtp_sink.py", store});
    ASSERT_TRUE(sink.Started());
    const std::string ready = sink.ReadLine(std::chrono::seconds(15));
    ASSERT_EQ(ready.rfind("ready ", 0), 0u)
        << "aiosmtpd did not start (is python3-aiosmtpd installed?)";
    const int port = std::stoi(ready.substr(6));

    // A file name that is not plain ASCII, and an attachment of several MiB.
    const std::string named = dir.Write("in/\xE5\xA0\xB1\xE5\x91\x8A 2026.txt", "report\n");
    const std::string large = dir.Write("in/large.bin", Bytes(5 * 1024 * 1024 + 17));

    TNMSMTP client;
    client.Host = "127.0.0.1";
    client.Port = port;
    client.UserID = "quillo.test";
    client.TimeOut = 10000;
    client.Connect();

    TPostMessage& m = client.PostMessage;
    m.FromName = "Sender";
    m.FromAddress = "sender@example.com";
    m.ToAddress.Add("To Person <to@example.com>");
    m.ToCarbonCopy.Add("cc@example.com");
    m.ToBlindCarbonCopy.Add("hidden@example.com");
    m.Subject = "Plain mail";
    m.LocalProgram = "Quillo";
    m.Date = "Thu, 11 Dec 2026 09:05:03 +0900";
    for (const char* line : {"first", ".dot line", ".", "", "last"})
        m.Body.Add(line);
    client.SendMail();

    m.ToAddress.Add("to@example.com");
    m.Subject = "With attachments";
    m.Body.Clear();
    m.Body.Add("see attached");
    m.Attachments.Add(named);
    m.Attachments.Add(large);
    client.SendMail();
    client.Disconnect();

    sink.CloseInput();
    EXPECT_TRUE(sink.WaitExit(std::chrono::seconds(15)));

    EXPECT_EQ(ReadFile(store + "/1.env"),
              "sender@example.com\nto@example.com\ncc@example.com\nhidden@example.com\n");
    EXPECT_EQ(Inspect({store + "/1.eml"}),
              "from Sender <sender@example.com>\n"
              "to to@example.com\n"
              "cc cc@example.com\n"
              "subject Plain mail\n"
              "defects 0\n"
              // The further CR LF after the header makes the text start with an empty line.
              "text text/plain us-ascii '\\nfirst\\n.dot line\\n.\\n\\nlast\\n'\n");

    EXPECT_EQ(ReadFile(store + "/2.env"), "sender@example.com\nto@example.com\n");
    const std::string second = Inspect({store + "/2.eml", large});
    const std::string largeDigest = second.substr(second.rfind("file ") + 5);
    EXPECT_EQ(second, "from Sender <sender@example.com>\n"
                      "to to@example.com\n"
                      "subject With attachments\n"
                      "defects 0\n"
                      "multipart multipart/mixed\n"
                      "text text/plain us-ascii 'see attached'\n"
                      "attachment application/octet-stream \xE5\xA0\xB1\xE5\x91\x8A 2026.txt 7 "
                      "331d26d6d8f862e46ba900811be8a7a1e4dbaa229b14c99becfd5e5151490d95\n"
                      "attachment application/octet-stream large.bin " +
                          largeDigest + "file " + largeDigest);
}

} // namespace
} // namespace quillo::test
