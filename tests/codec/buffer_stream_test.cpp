#include "codec/Nms_stream.h"
#include "platform/Exceptions.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace quillo;

namespace {

// A memory stream that records the sizes of the reads and writes it is asked for and can be
// told to take only part of a write.
class TRecordingStream : public TMemoryStream {
public:
    std::int32_t Read(void* Buffer, std::int32_t Count) override {
        reads.push_back(Count);
        return TMemoryStream::Read(Buffer, Count);
    }
    std::int32_t Write(const void* Buffer, std::int32_t Count) override {
        writes.push_back(Count);
        if (takeAtMost >= 0 && Count > takeAtMost) return TMemoryStream::Write(Buffer, takeAtMost);
        return TMemoryStream::Write(Buffer, Count);
    }
    std::string Bytes() const { return std::string(Memory(), static_cast<std::size_t>(Size())); }

    std::vector<std::int32_t> reads, writes;
    std::int32_t takeAtMost = -1;
};

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    return s;
}

void Fill(TMemoryStream& m, const std::string& bytes) {
    m.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    m.SetPosition(0);
}

} // namespace

TEST(BufferStream, ConstructionTakesTheModuleBufferSize) {
    EXPECT_EQ(BufferSize, 32768);
    TMemoryStream m;
    TS_BufferStream b(m);
    EXPECT_EQ(b.BufSize(), 32768);
    EXPECT_EQ(b.State(), bsUnknown);
    EXPECT_EQ(b.GetBufPosition(), 0);
}

TEST(BufferStream, WritesThenRewindLeaveExactlyTheBytesInFullBufferWrites) {
    struct Case {
        std::size_t total, chunk;
    } cases[] = {
        {1, 1},         {10, 3},      {32767, 63}, {32768, 63},   {32768, 32768},
        {32769, 32769}, {100000, 63}, {100000, 1}, {65536, 4096}, {70000, 100000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("total " + std::to_string(c.total) + " chunk " + std::to_string(c.chunk));
        const std::string data = Pattern(c.total);
        TRecordingStream m;
        TS_BufferStream b(m);
        for (std::size_t at = 0; at < data.size(); at += c.chunk) {
            const auto n = static_cast<std::int32_t>(std::min(c.chunk, data.size() - at));
            ASSERT_EQ(b.Write(data.data() + at, n), n);
        }
        EXPECT_EQ(b.Seek(0, soFromBeginning), 0);
        EXPECT_EQ(b.State(), bsUnknown);
        EXPECT_EQ(m.Bytes(), data);
        // The wrapped stream sees whole buffers, except for the last flush.
        ASSERT_FALSE(m.writes.empty());
        for (std::size_t i = 0; i + 1 < m.writes.size(); ++i)
            EXPECT_EQ(m.writes[i], 32768);
        EXPECT_EQ(m.writes.size(), (c.total + 32767) / 32768);
        // Size, then the whole stream read back in order, in fills of at most a buffer.
        EXPECT_EQ(b.GetSize(), static_cast<std::int64_t>(c.total));
        EXPECT_EQ(b.GetPosition(), 0);
        std::string back(c.total, '\0');
        EXPECT_EQ(b.Read(back.data(), static_cast<std::int32_t>(back.size())),
                  static_cast<std::int32_t>(c.total));
        EXPECT_EQ(back, data);
        for (auto r : m.reads)
            EXPECT_LE(r, 32768);
    }
}

TEST(BufferStream, AFullBufferIsFlushedDuringTheWrite) {
    TRecordingStream m;
    TS_BufferStream b(m);
    const std::string data = Pattern(32768);
    EXPECT_EQ(b.Write(data.data(), 32768), 32768);
    EXPECT_EQ(b.State(), bsUnknown);
    EXPECT_EQ(m.Size(), 32768);
    EXPECT_EQ(b.Seek(0, soFromBeginning), 0);
    EXPECT_EQ(m.writes.size(), 1u) << "the rewind has nothing left to flush";
}

TEST(BufferStream, SeekToTheCurrentPositionChangesNothing) {
    TRecordingStream m;
    TS_BufferStream b(m);
    b.Write("0123456789", 10);
    EXPECT_EQ(b.Seek(0, soFromCurrent), 10);
    EXPECT_EQ(b.Seek(10, soFromBeginning), 10);
    EXPECT_EQ(b.State(), bsWrite);
    EXPECT_EQ(m.Size(), 0);

    // Read-ahead stays buffered too.
    TRecordingStream r;
    Fill(r, "abcdef");
    TS_BufferStream rb(r);
    char c[2];
    rb.Read(c, 2);
    EXPECT_EQ(rb.Seek(2, soFromBeginning), 2);
    EXPECT_EQ(rb.GetBufPosition(), -4);
    EXPECT_EQ(r.reads.size(), 1u);
}

TEST(BufferStream, SeekOrigins) {
    struct Case {
        std::int64_t offset;
        std::uint16_t origin;
        std::int64_t expected;
    } cases[] = {
        {0, soFromEnd, 100},     {5, soFromEnd, 95},      {100, soFromEnd, 0},
        {7, soFromBeginning, 7}, {-3, soFromCurrent, 37}, {15, soFromCurrent, 55},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " from " + std::to_string(c.origin));
        TMemoryStream m;
        Fill(m, Pattern(100));
        TS_BufferStream b(m);
        b.Seek(40, soFromBeginning);
        EXPECT_EQ(b.Seek(c.offset, c.origin), c.expected);
        EXPECT_EQ(b.GetPosition(), c.expected);
        char got = 0;
        if (c.expected < 100) {
            ASSERT_EQ(b.Read(&got, 1), 1);
            EXPECT_EQ(got, Pattern(100)[static_cast<std::size_t>(c.expected)]);
        }
    }
}

TEST(BufferStream, SizeCountsBytesStillPending) {
    TRecordingStream m;
    Fill(m, "abc");
    TS_BufferStream b(m);
    b.Seek(3, soFromBeginning);
    b.Write("defgh", 5);
    EXPECT_EQ(b.GetSize(), 8);
    EXPECT_EQ(b.Seek(2, soFromEnd), 6);
    b.Write("X", 1);
    b.Seek(0, soFromBeginning);
    EXPECT_EQ(m.Bytes(), "abcdefXh");
}

TEST(BufferStream, InvalidOriginRaisesAndChangesNothing) {
    TRecordingStream m;
    TS_BufferStream b(m);
    b.Write("abc", 3);
    for (std::uint16_t origin : {3, 65535}) {
        try {
            b.Seek(0, origin);
            ADD_FAILURE() << "no exception for origin " << origin;
        } catch (const EStreamError&) {
            ADD_FAILURE() << "a plain Exception is expected";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Invalid seek origin = " + std::to_string(origin));
        }
    }
    EXPECT_EQ(b.State(), bsWrite);
    EXPECT_EQ(b.GetBufPosition(), 3);
    EXPECT_EQ(m.Size(), 0);
}

TEST(BufferStream, AShortFlushFailsTheSeekAndEndsTheWrite) {
    {
        TRecordingStream m;
        m.takeAtMost = 2;
        TS_BufferStream b(m);
        b.Write("abcdef", 6);
        try {
            b.Seek(0, soFromBeginning);
            ADD_FAILURE() << "no exception";
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), "Seek error");
        }
        EXPECT_EQ(b.State(), bsUnknown);
        EXPECT_EQ(b.GetBufPosition(), 0);
        EXPECT_EQ(m.GetPosition(), 2) << "not repositioned after the failed flush";
    }
    {
        BufferSize = 16;
        TRecordingStream m;
        m.takeAtMost = 4;
        TS_BufferStream b(m);
        BufferSize = 32768;
        const std::string data = Pattern(40);
        EXPECT_EQ(b.Write(data.data(), 40), 16) << "counts the bytes copied up to the failed flush";
        EXPECT_EQ(b.State(), bsUnknown);
    }
}

TEST(BufferStream, ReadAfterWriteAndWriteAfterRead) {
    {
        TMemoryStream m;
        Fill(m, "0123456789");
        TS_BufferStream b(m);
        b.Write("AB", 2);
        char got[3];
        ASSERT_EQ(b.Read(got, 3), 3);
        EXPECT_EQ(std::string(got, 3), "234");
        EXPECT_EQ(b.GetPosition(), 5);
        EXPECT_EQ(std::string(m.Memory(), 10), "AB23456789");
    }
    {
        TMemoryStream m;
        Fill(m, "0123456789");
        TS_BufferStream b(m);
        char got[3];
        ASSERT_EQ(b.Read(got, 3), 3);
        EXPECT_EQ(b.GetPosition(), 3);
        b.Write("XY", 2);
        EXPECT_EQ(b.GetPosition(), 5);
        ASSERT_EQ(b.Read(got, 3), 3);
        EXPECT_EQ(std::string(got, 3), "567");
        b.Seek(0, soFromBeginning);
        EXPECT_EQ(std::string(m.Memory(), 10), "012XY56789");
    }
}

TEST(BufferStream, PutBack) {
    auto expectOverflow = [](TS_BufferStream& b) {
        try {
            b.PutBack('x');
            ADD_FAILURE() << "no exception";
        } catch (const EStreamError& e) {
            EXPECT_EQ(e.Message(), "PutBack overflow");
        }
    };
    TMemoryStream m;
    Fill(m, "abcdef");
    TS_BufferStream b(m);
    expectOverflow(b);
    char got[3];
    ASSERT_EQ(b.Read(got, 3), 3);
    b.PutBack('C');
    b.PutBack('B');
    b.PutBack('A');
    expectOverflow(b);
    EXPECT_EQ(b.GetPosition(), 0);
    char all[6];
    ASSERT_EQ(b.Read(all, 6), 6);
    EXPECT_EQ(std::string(all, 6), "ABCdef");
    EXPECT_EQ(std::string(m.Memory(), 6), "abcdef") << "the wrapped stream is untouched";
    b.Seek(1, soFromBeginning);
    expectOverflow(b);
}

TEST(BufferStream, IsEof) {
    {
        TMemoryStream m;
        TS_BufferStream b(m);
        EXPECT_FALSE(b.IsEof());
        char c;
        EXPECT_EQ(b.Read(&c, 1), 0);
        EXPECT_TRUE(b.IsEof());
    }
    {
        TMemoryStream m;
        Fill(m, "abc");
        TS_BufferStream b(m);
        char c[2];
        b.Read(c, 2);
        EXPECT_FALSE(b.IsEof());
        b.Read(c, 1);
        EXPECT_TRUE(b.IsEof());
        b.Seek(3, soFromBeginning); // the position already: nothing moves
        EXPECT_TRUE(b.IsEof());
        b.Seek(1, soFromBeginning);
        EXPECT_FALSE(b.IsEof());
    }
}

TEST(BufferStream, EventsAndHooksFollowEveryFillAndFlush) {
    TMemoryStream m;
    int filled = 0, flushed = 0;
    {
        TS_BufferStream b(m);
        b.OnBufferFilled = [&](TObject* sender) {
            EXPECT_EQ(sender, &b);
            ++filled;
        };
        b.OnBufferFlushed = [&](TObject* sender) {
            EXPECT_EQ(sender, &b);
            ++flushed;
        };
        const std::string data = Pattern(70000);
        b.Write(data.data(), 70000);
        EXPECT_EQ(flushed, 2);
        b.Seek(0, soFromBeginning);
        EXPECT_EQ(flushed, 3);
        std::string back(70000, '\0');
        b.Read(back.data(), 70000);
        EXPECT_EQ(filled, 3);
        char c;
        b.Read(&c, 1);
        EXPECT_EQ(filled, 4) << "the fill that finds nothing is reported too";
    }
}

TEST(BufferStream, DestructionFlushesAndLeavesTheWrappedStreamAlive) {
    TMemoryStream m;
    { TS_BufferStream(m).Write("pending", 7); }
    EXPECT_EQ(std::string(m.Memory(), static_cast<std::size_t>(m.Size())), "pending");

    // A wrapped stream that raises on the last flush does not escape the destructor.
    struct TThrowing : TMemoryStream {
        std::int32_t Write(const void*, std::int32_t) override { throw EStreamError("disk full"); }
    } t;
    EXPECT_NO_FATAL_FAILURE({ TS_BufferStream(t).Write("lost", 4); });
}
