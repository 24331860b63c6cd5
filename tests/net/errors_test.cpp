// Pure parts of the transport: reply numbers, NthWord, the error check and its texts, the
// errno mapping and the timer.
#include "net/Psock.h"
#include "platform/WinsockErrors.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

using namespace quillo;

TEST(ReplyNumberOf, LeadingDigits) {
    struct Row {
        const char* line;
        std::optional<int> number; // nullopt: range error
    };
    const Row rows[] = {
        {"250 Requested mail action okay\r\n", 250},
        {"354-Start mail input\r\n", 354},
        {"221\r\n", 221},
        {"Hello there\r\n", 0},
        {"", 0},
        {"-5 minus is no digit\r\n", 0},
        {"0250 leading zero\r\n", 250},
        {"32767 largest\r\n", 32767},
        {"32768 one too many\r\n", std::nullopt},
        {"2147483647\r\n", std::nullopt},
        {"2147483648\r\n", 0},             // beyond the 32-bit range
        {"12345678901\r\n", std::nullopt}, // only ten digits count: 1234567890
        {"99999999999\r\n", 0},            // ten nines exceed the 32-bit range
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        if (row.number)
            EXPECT_EQ(ReplyNumberOf(row.line), *row.number);
        else
            EXPECT_THROW(ReplyNumberOf(row.line), ERangeError);
    }
}

TEST(NthWord, Fields) {
    struct Row {
        const char* text;
        char delimiter;
        int n;
        const char* word;
    };
    const Row rows[] = {
        {"Taro <taro@example.jp>", '<', 2, "taro@example.jp>"},
        {"taro@example.jp>", '>', 1, "taro@example.jp"},
        {"Taro <taro@example.jp>", '<', 1, "Taro "},
        {"a,,b", ',', 2, ""},
        {"a,,b", ',', 3, "b"},
        {"a,,b", ',', 4, ""},
        {"abc", ',', 1, "abc"},
        {"", ',', 1, ""},
        {"a,b", ',', 0, ""},
        {",a", ',', 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " #" + std::to_string(row.n));
        EXPECT_EQ(NthWord(row.text, row.delimiter, row.n), row.word);
    }
}

TEST(ErrorManager, PendingErrorGivesTextAndOnError) {
    struct Row {
        int pending;
        const char* message; // nullptr: nothing raised
    };
    const Row rows[] = {
        {10061, "10061:Connection refused"},
        {10057, "10057:Socket is not connected"},
        {10099, "Unknown Error No. 10099"},
        {11004, "11004:Valid name, no data record of requested type"},
        {10004, "10004:Interrupted system call"},
        {10035, nullptr}, // would-block: the caller carries on
        {10000, nullptr}, // up to 10000: never reported
        {0, nullptr},
    };
    TPowersock sock;
    std::vector<std::pair<int, std::string>> seen;
    sock.OnError = [&](TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg) {
        EXPECT_EQ(Sender, &sock);
        seen.emplace_back(Errno, Errmsg);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pending);
        seen.clear();
        WSASetLastError(row.pending);
        if (row.message) {
            try {
                sock.ErrorManager(WSAEWOULDBLOCK);
                ADD_FAILURE() << "no exception";
            } catch (const ESockError& e) {
                EXPECT_EQ(e.Message(), row.message);
            }
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].first, row.pending);
            EXPECT_EQ(seen[0].second, row.message);
        } else {
            EXPECT_EQ(sock.ErrorManager(WSAEWOULDBLOCK), "");
            EXPECT_TRUE(seen.empty());
        }
        EXPECT_EQ(sock.LastErrorNo, row.pending);
    }
    WSASetLastError(0);
}

TEST(ErrorManager, ExceptionFromOnErrorTravelsInstead) {
    TPowersock sock;
    sock.OnError = [](TComponent*, std::uint16_t, const std::string&) {
        throw Exception("from the handler");
    };
    WSASetLastError(10054);
    try {
        sock.ErrorManager(WSAEWOULDBLOCK);
        ADD_FAILURE() << "no exception";
    } catch (const ESockError&) {
        ADD_FAILURE() << "the socket error was raised instead of the handler's";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "from the handler");
    }
    WSASetLastError(0);
}

TEST(SocketErrorStr, Table) {
    TPowersock sock;
    EXPECT_EQ(sock.SocketErrorStr(0), "");
    EXPECT_EQ(sock.SocketErrorStr(10065), "10065:No route to Host");
    EXPECT_EQ(sock.SocketErrorStr(10047), "10047:Address family not supported by protocol family");
    EXPECT_EQ(sock.SocketErrorStr(11003), "11003:Non-Recoverable error: FORMERR, REFUSED, NOTIMP");
    EXPECT_EQ(sock.SocketErrorStr(10072), "Unknown Error No. 10072");
    // Every row of the table is known, and only those 50.
    int known = 0;
    for (int n = 10000; n <= 11010; ++n)
        if (sock.SocketErrorStr(static_cast<std::uint16_t>(n)).rfind("Unknown", 0) != 0) ++known;
    EXPECT_EQ(known, 50);
}

TEST(WinsockErrorOf, MapsErrnoOntoWinsockNumbers) {
    const std::pair<int, int> rows[] = {
        {0, 0},
        {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},
        {EINPROGRESS, 10035},
        {EALREADY, 10037},
        {ENOTCONN, 10057},
        {ECONNREFUSED, 10061},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ETIMEDOUT, 10060},
        {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051},
        {EADDRINUSE, 10048},
        {EBADF, 10009},
        {EINTR, 10004},
        {EMFILE, 10024},
        {ENOBUFS, 10055},
        {EIO, UnmappedErrnoBase + EIO},
    };
    for (auto [errnum, number] : rows) {
        SCOPED_TRACE(errnum);
        EXPECT_EQ(WinsockErrorOf(errnum), number);
    }
}

TEST(TThreadTimer, TicksOnlyWhenEnabledWithIntervalAndHandler) {
    using Clock = TThreadTimer::Clock;
    TThreadTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Armed()); // no OnTimer yet

    int ticks = 0;
    timer.SetOnTimer([&](TObject* Sender) {
        EXPECT_EQ(Sender, &timer);
        ++ticks;
    });
    EXPECT_TRUE(timer.Armed());
    EXPECT_FALSE(timer.DeliverDueTick(Clock::now()));
    EXPECT_TRUE(timer.DeliverDueTick(Clock::now() + std::chrono::seconds(2)));
    EXPECT_EQ(ticks, 1);

    timer.SetInterval(0); // an interval of 0 arms nothing
    EXPECT_FALSE(timer.Armed());
    EXPECT_FALSE(timer.DeliverDueTick(Clock::now() + std::chrono::hours(1)));
    timer.SetInterval(50);
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Armed());
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Armed());
    EXPECT_EQ(ticks, 1);

    // A handler that raises does not reach the one who delivers the tick.
    timer.SetOnTimer([](TObject*) { throw Exception("tick"); });
    EXPECT_NO_THROW(timer.DeliverDueTick(Clock::now() + std::chrono::seconds(1)));
}
