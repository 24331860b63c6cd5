#include <gtest/gtest.h>

#include <string>

#include "platform/Exceptions.h"
#include "platform/StringList.h"
#include "platform/Streams.h"

using namespace quillo;

TEST(MemoryStream, WriteSeekReadAndSize) {
    TMemoryStream s;
    EXPECT_EQ(s.Write("hello", 5), 5);
    EXPECT_EQ(s.GetPosition(), 5);
    EXPECT_EQ(s.GetSize(), 5);
    EXPECT_EQ(s.GetPosition(), 5) << "size must not move the position";
    s.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "ello");
    EXPECT_EQ(s.Read(buf, 8), 0);
    s.SetPosition(7);
    s.Write("!", 1);
    EXPECT_EQ(std::string(s.Memory(), static_cast<size_t>(s.Size())), std::string("hello\0\0!", 8));
}

TEST(MemoryStream, GrowsAcrossManyWritesAndShortReadBufferThrows) {
    TMemoryStream s;
    std::string chunk(1000, 'x');
    for (int i = 0; i < 300; ++i)
        s.Write(chunk.data(), 1000);
    EXPECT_EQ(s.Size(), 300000);
    s.SetPosition(299999);
    char c[2];
    EXPECT_THROW(s.ReadBuffer(c, 2), EStreamError);
}

TEST(StringList, TextRoundTripFollowsTheCrLfRule) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\n\r\n", {"a", ""}},
        {"a\rb\nc\r\nd", {"a\rb\nc", "d"}},
        {"\r\n", {""}},
    };
    for (const auto& c : cases) {
        TStringList l;
        l.SetText(c.text);
        EXPECT_EQ(l.Lines(), c.lines) << c.text;
    }
    TStringList l;
    l.Add("x");
    l.Add("");
    EXPECT_EQ(l.Text(), "x\r\n\r\n");
}
