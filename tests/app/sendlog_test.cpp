#include "support/TempDir.h"
#include "app/SendLog.h"
#include "platform/Regional.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <vector>

namespace quillo {
namespace {

std::tm At(int Year, int Month, int Day, int Hour, int Min, int Sec) {
    std::tm t{};
    t.tm_year = Year - 1900;
    t.tm_mon = Month - 1;
    t.tm_mday = Day;
    t.tm_hour = Hour;
    t.tm_min = Min;
    t.tm_sec = Sec;
    return t;
}

TEST(SendLog, DateAndTimeText) {
    const TRegionalFormats japanese = DefaultRegionalFormats();
    const TRegionalFormats german{"%d.%m.%Y", "%H:%M:%S"};
    const TRegionalFormats twelveHour{"%m/%d/%Y", "%-I:%M:%S %p"};
    struct Case {
        const char* Name;
        std::tm When;
        TRegionalFormats Formats;
        const char* Expected;
    } cases[] = {
        {"hour without leading zero", At(2000, 7, 31, 9, 5, 3), japanese, "2000/07/31 9:05:03"},
        {"midnight has no time", At(2000, 7, 31, 0, 0, 0), japanese, "2000/07/31"},
        {"one second past midnight", At(2000, 7, 31, 0, 0, 1), japanese, "2000/07/31 0:00:01"},
        {"afternoon", At(2000, 12, 1, 23, 59, 59), japanese, "2000/12/01 23:59:59"},
        {"regional separators and leading zero", At(2000, 7, 31, 9, 5, 3), german,
         "31.07.2000 09:05:03"},
        {"12-hour clock", At(2000, 7, 31, 21, 5, 3), twelveHour, "07/31/2000 9:05:03 PM"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DateTimeText(c.When, c.Formats), c.Expected) << c.Name;
}

TEST(SendLog, LineFields) {
    struct Case {
        const char* Name;
        std::string DateTime;
        std::vector<std::string> Args;
        std::string Message;
        std::string Expected;
    } cases[] = {
        {"the worked example",
         "2000/07/31 9:05:03",
         {"a", "b", "c"},
         "接続失敗",
         "2000/07/31 9:05:03,a,b,c,接続失敗\r\n"},
        {"midnight", "2000/07/31", {"a", "b", "c"}, "接続失敗", "2000/07/31,a,b,c,接続失敗\r\n"},
        {"four arguments, missing attachment",
         "2000/07/31 9:05:03",
         {"a", "b", "c", "d.txt"},
         "添付ﾌｧｲﾙが見つからない",
         "2000/07/31 9:05:03,a,b,c,d.txt,添付ﾌｧｲﾙが見つからない\r\n"},
        {"comma in an argument stays",
         "2000/07/31 9:05:03",
         {"a", "x, y", "c"},
         "送信失敗",
         "2000/07/31 9:05:03,a,x, y,c,送信失敗\r\n"},
        {"LF in an argument written as CR LF",
         "2000/07/31 9:05:03",
         {"a", "b\nc", "d"},
         "送信失敗",
         "2000/07/31 9:05:03,a,b\r\nc,d,送信失敗\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LogLine(c.DateTime, c.Args, c.Message), c.Expected) << c.Name;
}

TEST(SendLog, AppendCreatesThenAppends) {
    test::TempDir dir;
    ASSERT_TRUE(AppendLine(dir / "quillo.log", "one\r\n"));
    ASSERT_TRUE(AppendLine(dir / "quillo.log", "two\r\n"));
    EXPECT_EQ(dir.Read("quillo.log"), "one\r\ntwo\r\n");
    EXPECT_FALSE(AppendLine(dir / "no/such/quillo.log", "x\r\n"));
}

// Writers racing on the same log never interleave or lose a line.
TEST(SendLog, ConcurrentAppendsStayWhole) {
    test::TempDir dir;
    const std::string path = dir / "quillo.log";
    constexpr int writers = 8, lines = 200;
    const std::string prefix = "2000/07/31 9:05:03,";
    const std::size_t n = prefix.size();
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            const std::string line = prefix + std::string(300, char('a' + w)) + ",接続失敗\r\n";
            for (int i = 0; i < lines; ++i)
                AppendLine(path, line);
        });
    for (auto& t : threads)
        t.join();
    std::istringstream in(dir.Read("quillo.log"));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.size(), n + 300u + std::string(",接続失敗\r").size()) << count;
        ASSERT_EQ(line.find_first_not_of(line[n], n), n + 300u) << "interleaved: " << line;
    }
    EXPECT_EQ(count, writers * lines);
}

} // namespace
} // namespace quillo
