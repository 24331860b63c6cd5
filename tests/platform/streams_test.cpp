#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>

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

// Byte I of a recognisable pattern, so that a misplaced or lost block shows.
char PatternByte(std::int64_t I) {
    return static_cast<char>((I * 131 + I / 4093) & 0xFF);
}

bool HoldsPattern(const TMemoryStream& S, std::int64_t From, std::int64_t To) {
    for (std::int64_t i = From; i < To; ++i)
        if (S.Memory()[i] != PatternByte(i)) return false;
    return true;
}

// Large streams live in their own mapping; small ones on the heap. Every way across and
// within that line must keep the bytes, the size and the position.
TEST(MemoryStream, LargeBlocksKeepTheirBytesThroughGrowthReserveAndClear) {
    constexpr std::int64_t MiB = 1 << 20;
    struct Case {
        const char* name;
        std::int64_t reserveFirst; // 0: none
        std::int64_t total;
        std::int32_t chunk;
    } cases[] = {
        {"heap to mapping by writes", 0, 5 * MiB + 17, 65536},
        {"mapping grown twice by writes", 0, 19 * MiB + 3, 1000003},
        {"one reserve up front", 9 * MiB, 9 * MiB, 45},
        {"reserve smaller than the writes", 4 * MiB, 11 * MiB + 1, 262147},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream s;
        s.Write("ab", 2);
        s.SetPosition(0);
        if (c.reserveFirst > 0) {
            s.Reserve(c.reserveFirst);
            EXPECT_EQ(s.Size(), 2);
            EXPECT_EQ(s.GetPosition(), 0);
            EXPECT_EQ(std::string(s.Memory(), 2), "ab");
        }
        std::string chunk(static_cast<size_t>(c.chunk), '\0');
        for (std::int64_t at = 0; at < c.total;) {
            const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(c.chunk, c.total - at));
            for (std::int32_t k = 0; k < n; ++k)
                chunk[static_cast<size_t>(k)] = PatternByte(at + k);
            ASSERT_EQ(s.Write(chunk.data(), n), n);
            at += n;
        }
        EXPECT_EQ(s.Size(), c.total);
        EXPECT_EQ(s.GetPosition(), c.total);
        EXPECT_TRUE(HoldsPattern(s, 0, c.total));

        // A gap written past the end reads as zeros; reading back goes through Read.
        s.SetPosition(c.total + 3 * MiB);
        s.Write("z", 1);
        EXPECT_EQ(s.Size(), c.total + 3 * MiB + 1);
        EXPECT_TRUE(HoldsPattern(s, 0, c.total));
        EXPECT_EQ(std::string(s.Memory() + c.total, 3 * MiB), std::string(3 * MiB, '\0'));
        s.SetPosition(c.total - 2);
        char tail[3];
        EXPECT_EQ(s.Read(tail, 3), 3);
        EXPECT_EQ(tail[0], PatternByte(c.total - 2));
        EXPECT_EQ(tail[2], '\0');

        s.Clear();
        EXPECT_EQ(s.Size(), 0);
        EXPECT_EQ(s.Write("again", 5), 5);
        EXPECT_EQ(std::string(s.Memory(), 5), "again");
    }
}

// Append moves whole huge pages when the source was laid out for it and copies otherwise;
// either way the bytes, sizes and positions must come out the same, the source must be
// empty and usable, and the destination must keep growing and writing correctly afterwards
// (its block is then made of several mappings).
TEST(MemoryStream, AppendKeepsTheBytesWhetherPagesMoveOrAreCopied) {
    constexpr std::int64_t MiB = 1 << 20;
    struct Case {
        const char* name;
        std::int64_t destination;   // bytes already in the destination
        std::int64_t destReserve;   // 0: none
        std::int64_t source;        // bytes appended
        std::int64_t sourceReserve; // 0: none
        bool laidOut;               // ReserveToAppendTo instead of Reserve (pages move when
                                    // the destination is a large block already)
    } cases[] = {
        {"both small", 10, 0, 1000, 0, false},
        {"nothing to append", 10, 0, 0, 0, false},
        {"small destination, large source", 10, 0, 5 * MiB + 7, 0, false},
        {"laid out after a short head", 100, 16 * MiB, 9 * MiB + 3, 9 * MiB + 3, true},
        {"laid out on a page boundary", 2 * MiB, 16 * MiB, 6 * MiB, 6 * MiB, true},
        {"laid out, one byte before a boundary", 2 * MiB - 1, 16 * MiB, 4 * MiB + 1, 5 * MiB, true},
        {"laid out, shorter than the head", 1, 16 * MiB, MiB, 5 * MiB, true},
        {"laid out, destination to grow", 333, 0, 7 * MiB, 7 * MiB, true},
        {"not lined up: copied", 100, 16 * MiB, 9 * MiB, 9 * MiB, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream destination, source;
        if (c.destReserve > 0) destination.Reserve(c.destReserve);
        std::string chunk(1 << 16, '\0');
        const auto fill = [&](TMemoryStream& s, std::int64_t from, std::int64_t to) {
            for (std::int64_t at = from; at < to;) {
                const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(1 << 16, to - at));
                for (std::int32_t k = 0; k < n; ++k)
                    chunk[static_cast<size_t>(k)] = PatternByte(at + k);
                ASSERT_EQ(s.Write(chunk.data(), n), n);
                at += n;
            }
        };
        fill(destination, 0, c.destination);
        if (c.laidOut) {
            source.ReserveToAppendTo(c.sourceReserve, destination);
            if (c.sourceReserve >= 4 * MiB && c.destReserve > 0) {
                const auto gap =
                    reinterpret_cast<std::uintptr_t>(source.Memory()) -
                    reinterpret_cast<std::uintptr_t>(destination.Memory() + destination.Size());
                EXPECT_EQ(gap % (2 * MiB), 0u) << "not laid out for a move";
            }
        } else if (c.sourceReserve > 0) {
            source.Reserve(c.sourceReserve);
        }
        // The source's bytes continue the destination's pattern.
        source.SetPosition(0);
        for (std::int64_t at = 0; at < c.source;) {
            const auto n =
                static_cast<std::int32_t>(std::min<std::int64_t>(1 << 16, c.source - at));
            for (std::int32_t k = 0; k < n; ++k)
                chunk[static_cast<size_t>(k)] = PatternByte(c.destination + at + k);
            ASSERT_EQ(source.Write(chunk.data(), n), n);
            at += n;
        }

        const std::int64_t copied = destination.Append(source);
        if (c.laidOut && c.destReserve > 0) {
            EXPECT_LE(copied, 2 * MiB) << "pages copied instead of moved";
        } else {
            EXPECT_EQ(copied, c.source);
        }
        const std::int64_t total = c.destination + c.source;
        EXPECT_EQ(destination.Size(), total);
        EXPECT_EQ(destination.GetPosition(), total);
        EXPECT_TRUE(HoldsPattern(destination, 0, total));
        EXPECT_EQ(source.Size(), 0);
        EXPECT_EQ(source.GetPosition(), 0);
        EXPECT_EQ(source.Write("again", 5), 5);
        EXPECT_EQ(std::string(source.Memory(), 5), "again");

        // Writing on and growing well past the moved pages keeps every byte.
        fill(destination, total, total + MiB + 5);
        destination.Reserve(total + 40 * MiB);
        fill(destination, total + MiB + 5, total + 6 * MiB);
        EXPECT_TRUE(HoldsPattern(destination, 0, total + 6 * MiB));
        destination.Clear();
        EXPECT_EQ(destination.Write("x", 1), 1);
    }
}

TEST(MemoryStream, AppendToItselfDoublesTheBytes) {
    TMemoryStream s;
    s.Write("abc", 3);
    s.SetPosition(1);
    s.Append(s);
    EXPECT_EQ(std::string(s.Memory(), static_cast<size_t>(s.Size())), "abcabc");
    EXPECT_EQ(s.GetPosition(), 6);
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
