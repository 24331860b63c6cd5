// Sending a mail with a large attachment: time of SendMail (assembly, encoding, transfer) and
// the whole program's peak memory beside the budget of 2.2 x the encoded size + 16 MiB.
//   bench_smtp_attachment FILE [ROUNDS]
// The server is a minimal sink on a loopback port in a thread of this program; it reads and
// discards the message. Exit status 1 when a round goes over the memory budget.
#include "smtp/Nmsmtp.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers every command line with 250 (354 for DATA), swallows the data up to its end line,
// and stops after QUIT.
void Sink(int Listener) {
    const int fd = ::accept(Listener, nullptr, nullptr);
    if (fd < 0) return;
    auto say = [fd](const char* Text) { (void)::send(fd, Text, std::strlen(Text), MSG_NOSIGNAL); };
    say("220 sink\r\n");
    std::string pending;
    bool inData = false;
    static char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        for (;;) {
            if (inData) {
                // The data may be empty, so the end line can follow the reply at once.
                const std::size_t end =
                    pending.rfind(".\r\n", 0) == 0 ? 0 : pending.find("\r\n.\r\n");
                if (end == std::string::npos) {
                    if (pending.size() > 4) pending.erase(0, pending.size() - 4);
                    break;
                }
                pending.erase(0, end == 0 ? 3 : end + 5);
                inData = false;
                say("250 queued\r\n");
                continue;
            }
            const std::size_t lf = pending.find('\n');
            if (lf == std::string::npos) break;
            const std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            if (line.rfind("DATA", 0) == 0) {
                say("354 go ahead\r\n");
                inData = true;
            } else if (line.rfind("QUIT", 0) == 0) {
                say("221 bye\r\n");
                ::close(fd);
                return;
            } else {
                say("250 ok\r\n");
            }
        }
    }
    ::close(fd);
}

long PeakKiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    bool over = false;
    for (int r = 0; r < rounds; ++r) {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::perror("listen");
            return 2;
        }
        std::thread sink(Sink, listener);
        double seconds = 0, assembly = 0;
        std::int64_t encoded = 0;
        {
            quillo::TNMSMTP client;
            client.Host = "127.0.0.1";
            client.Port = ntohs(addr.sin_port);
            client.UserID = "bench";
            client.Connect();
            quillo::TPostMessage& m = client.PostMessage;
            m.FromAddress = "me@example.com";
            m.ToAddress.Add("you@example.com");
            m.Body.Add("attached");
            m.Attachments.Add(argv[1]);
            const auto a0 = std::chrono::steady_clock::now();
            client.AssembleMail();
            assembly = std::chrono::duration<double>(std::chrono::steady_clock::now() - a0).count();
            const auto t0 = std::chrono::steady_clock::now();
            client.SendMail();
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            encoded = client.BodyStream.Size();
            client.Disconnect();
        }
        sink.join();
        ::close(listener);
        const double peakMiB = PeakKiB() / 1024.0;
        const double budgetMiB = 2.2 * static_cast<double>(encoded) / (1 << 20) + 16;
        std::printf("round %d: assembly alone %.3f s, SendMail %.3f s, body %.1f MiB, peak %.1f "
                    "MiB, budget %.1f MiB: %s\n",
                    r + 1, assembly, seconds, static_cast<double>(encoded) / (1 << 20), peakMiB,
                    budgetMiB, peakMiB <= budgetMiB ? "within" : "OVER");
        over = over || peakMiB > budgetMiB;
    }
    return over ? 1 : 0;
}
