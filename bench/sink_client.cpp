// The sink's ceiling: a minimal SMTP client that hands a prebuilt message to the server in
// one write, so that its run time is the server's and the loopback's share alone.
//   bench_sink_client PORT MESSAGE
// MESSAGE is the DATA section as it goes on the wire, dot-stuffed, ending with ".\r\n". It is
// mapped before connecting; after DATA's 354 it goes out through one send loop on a blocking
// socket. Every read and write gives up after 60 seconds. Exit status 0 when the server
// accepted the message and said goodbye.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char* What) {
    std::fprintf(stderr, "bench_sink_client: %s: %s\n", What, errno ? std::strerror(errno) : "");
    std::exit(1);
}

void SendAll(int Fd, const char* Data, std::size_t Length) {
    while (Length > 0) {
        const ssize_t n = ::send(Fd, Data, Length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("send");
        Data += n;
        Length -= static_cast<std::size_t>(n);
    }
}

// Reads one reply (continuation lines included) and returns its number.
int Reply(int Fd) {
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = ::recv(Fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("reading a reply");
        line += c;
        if (c != '\n') continue;
        if (line.size() >= 4 && line[3] == '-') {
            line.clear();
            continue;
        }
        return std::atoi(line.c_str());
    }
}

void Expect(int Fd, const char* Command, int Low, int High) {
    if (Command != nullptr) SendAll(Fd, Command, std::strlen(Command));
    const int number = Reply(Fd);
    if (number < Low || number > High) {
        errno = 0;
        std::fprintf(stderr, "bench_sink_client: reply %d to %s", number,
                     Command ? Command : "connecting\n");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT MESSAGE\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);

    const int file = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file < 0 || ::fstat(file, &st) != 0 || st.st_size == 0) Fail("opening the message");
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    if (map == MAP_FAILED) Fail("mapping the message");
    ::close(file);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    const timeval limit{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) Fail("connect");

    Expect(fd, nullptr, 200, 299);
    Expect(fd, "HELO bench.invalid\r\n", 200, 299);
    Expect(fd, "MAIL FROM:<sender@bench.invalid>\r\n", 200, 299);
    Expect(fd, "RCPT TO:<recipient@bench.invalid>\r\n", 200, 299);
    Expect(fd, "DATA\r\n", 300, 399);
    SendAll(fd, static_cast<const char*>(map), size);
    Expect(fd, nullptr, 200, 299);
    Expect(fd, "QUIT\r\n", 200, 299);
    ::close(fd);
    ::munmap(map, size);
    return 0;
}
