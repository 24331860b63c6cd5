#include "support/FakeSmtpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace quillo::test {

Step S(std::string Bytes) {
    return Step{Step::Send, std::move(Bytes), {}, 0};
}
Step C() {
    return Step{Step::ExpectAny, {}, {}, 0};
}
Step C(std::string Line) {
    return Step{Step::Expect, std::move(Line), {}, 0};
}
Step Data() {
    return Step{Step::DataBlock, {}, {}, 0};
}
Step Pause(int Ms) {
    return Step{Step::Sleep, {}, {}, Ms};
}
Step Split(std::vector<std::string> Parts, int PauseMs) {
    return Step{Step::SplitSend, {}, std::move(Parts), PauseMs};
}
Step Close() {
    return Step{Step::CloseConn, {}, {}, 0};
}
Step Reset() {
    return Step{Step::ResetConn, {}, {}, 0};
}

namespace {

using Clock = std::chrono::steady_clock;

std::string Visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

} // namespace

FakeSmtpServer::FakeSmtpServer(std::vector<Step> Script, Limits L)
    : script_(std::move(Script)), limits_(L) {
    if (::pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("FakeSmtpServer: pipe failed");
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) throw std::runtime_error("FakeSmtpServer: socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error(std::string("FakeSmtpServer: ") + std::strerror(errno));
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FakeSmtpServer::~FakeSmtpServer() {
    if (stop_[1] >= 0) {
        char b = 1;
        [[maybe_unused]] auto n = ::write(stop_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : {listen_, stop_[0], stop_[1]})
        if (fd >= 0) ::close(fd);
}

void FakeSmtpServer::Join() {
    if (thread_.joinable()) thread_.join();
}

std::string FakeSmtpServer::Transcript() {
    Join();
    std::lock_guard lock(mutex_);
    return transcript_;
}

std::vector<std::string> FakeSmtpServer::Lines() {
    Join();
    std::lock_guard lock(mutex_);
    return lines_;
}

bool FakeSmtpServer::ScriptDone() {
    Join();
    std::lock_guard lock(mutex_);
    return done_ && problems_.empty();
}

std::string FakeSmtpServer::Problems() {
    Join();
    std::lock_guard lock(mutex_);
    return problems_;
}

bool FakeSmtpServer::ClientClosed() {
    Join();
    std::lock_guard lock(mutex_);
    return clientClosed_;
}

bool FakeSmtpServer::ClientReset() {
    Join();
    std::lock_guard lock(mutex_);
    return clientReset_;
}

void FakeSmtpServer::Problem(const std::string& What) {
    std::lock_guard lock(mutex_);
    problems_ += What + "\n";
}

RefusingPort::RefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("RefusingPort: bind failed");
    port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

void FakeSmtpServer::Run() {
    // Waits until fd is ready for events or Deadline; false on time-out or stop.
    auto waitFor = [this](int fd, short events, Clock::time_point deadline) -> int {
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0) return 0;
            pollfd p[2] = {{fd, events, 0}, {stop_[0], POLLIN, 0}};
            int r = ::poll(p, 2, static_cast<int>(left.count()) + 1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || p[1].revents) return -1;
            if (p[0].revents) return 1;
        }
    };

    Fd conn;
    {
        int r = waitFor(listen_, POLLIN, Clock::now() + limits_.accept);
        if (r <= 0) {
            if (r == 0) Problem("no client connected");
            return;
        }
        // Non-blocking, so that every send and receive waits in poll with its time limit.
        conn.fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn.fd < 0) {
            Problem(std::string("accept: ") + std::strerror(errno));
            return;
        }
        int one = 1;
        ::setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    std::string pending; // received but not yet consumed by a step
    bool eof = false;
    // Reads what is there into pending and the transcript; false on end, error or time-out.
    auto receive = [&](Clock::time_point deadline) -> bool {
        int r = waitFor(conn.fd, POLLIN, deadline);
        if (r <= 0) return false;
        char buf[65536];
        ssize_t n;
        do
            n = ::recv(conn.fd, buf, sizeof buf, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) return true; // woken without data: look again
        if (n <= 0) {
            const bool reset = n < 0 && errno == ECONNRESET;
            eof = true;
            std::lock_guard lock(mutex_);
            clientClosed_ = true;
            clientReset_ = reset;
            return false;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        transcript_.append(buf, static_cast<std::size_t>(n));
        return true;
    };
    // Sends all of bytes; false on error, or when the client takes nothing for a step's time.
    auto sendAll = [&](const std::string& bytes) -> bool {
        std::size_t off = 0;
        auto deadline = Clock::now() + limits_.step;
        while (off < bytes.size()) {
            ssize_t n = ::send(conn.fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                if (waitFor(conn.fd, POLLOUT, deadline) <= 0) {
                    errno = ETIMEDOUT;
                    return false;
                }
                continue;
            }
            if (n <= 0) return false;
            off += static_cast<std::size_t>(n);
            deadline = Clock::now() + limits_.step;
        }
        return true;
    };
    auto sleepFor = [&](int ms) -> bool {
        pollfd p{stop_[0], POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    };

    bool closed = false;
    std::size_t index = 0;
    for (; index < script_.size(); ++index) {
        const Step& step = script_[index];
        const std::string where = "step " + std::to_string(index + 1) + ": ";
        bool ok = true;
        switch (step.kind) {
        case Step::Send:
            ok = sendAll(step.text);
            if (!ok) Problem(where + "send failed: " + std::strerror(errno));
            break;
        case Step::SplitSend:
            for (std::size_t i = 0; ok && i < step.parts.size(); ++i) {
                if (i > 0 && !sleepFor(step.ms)) {
                    ok = false;
                    Problem(where + "stopped");
                } else if (!sendAll(step.parts[i])) {
                    ok = false;
                    Problem(where + "send failed: " + std::strerror(errno));
                }
            }
            break;
        case Step::Expect:
        case Step::ExpectAny:
        case Step::DataBlock: {
            const bool data = step.kind == Step::DataBlock;
            const std::string end = data ? "\r\n.\r\n" : "\n";
            auto deadline = Clock::now() + limits_.step;
            std::size_t at;
            // A DATA block that is only ".\r\n" ends at once; otherwise look for the terminator.
            auto findEnd = [&]() -> std::size_t {
                if (data && pending.rfind(".\r\n", 0) == 0) return 3;
                std::size_t p = pending.find(end);
                return p == std::string::npos ? p : p + end.size();
            };
            while ((at = findEnd()) == std::string::npos) {
                if (eof || !receive(deadline)) {
                    ok = false;
                    Problem(where + (eof ? "client closed" : "timed out") + " waiting for " +
                            (data ? "the DATA block" : "a client line") + "; have \"" +
                            Visible(pending) + "\"");
                    break;
                }
            }
            if (!ok) break;
            std::string got = pending.substr(0, at);
            pending.erase(0, at);
            {
                std::lock_guard lock(mutex_);
                lines_.push_back(got);
            }
            if (step.kind == Step::Expect && got != step.text)
                Problem(where + "expected \"" + Visible(step.text) + "\", got \"" + Visible(got) +
                        "\"");
            break;
        }
        case Step::Sleep:
            if (!sleepFor(step.ms)) {
                ok = false;
                Problem(where + "stopped");
            }
            break;
        case Step::CloseConn:
            ::shutdown(conn.fd, SHUT_WR);
            closed = true;
            break;
        case Step::ResetConn: {
            linger l{1, 0};
            ::setsockopt(conn.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(conn.fd);
            conn.fd = -1;
            closed = true;
            break;
        }
        }
        if (!ok || closed) break;
    }
    if (index >= script_.size() || closed) {
        std::lock_guard lock(mutex_);
        done_ = index >= script_.size() || index + 1 == script_.size();
    }
    if (conn.fd < 0) return;
    // Drain: keep recording until the client closes, within the drain limit. After an
    // orderly close this also waits for the client's side.
    auto deadline = Clock::now() + limits_.drain;
    while (!eof && receive(deadline)) {
    }
}

} // namespace quillo::test
