#include "codec/Nms_stream.h"
#include "codec/Nmuue.h"
#include "platform/Exceptions.h"
#include "platform/FileStream.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace quillo;

namespace {

std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 37 + 11 + i / 7) & 0xFF);
    return s;
}

// Reference encoding, written differently from the encoder: a bit accumulator that emits six
// bits at a time and a final partial group, then pads base64 to whole quads.
std::string Reference(const std::string& bytes, const char* alphabet, bool pad) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        acc = (acc << 8) | c;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(acc >> bits) & 63];
        }
    }
    if (bits > 0) out += alphabet[(acc << (6 - bits)) & 63];
    while (pad && out.size() % 4 != 0)
        out += '=';
    return out;
}

const char* const kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char* const kUu = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

// The lines the encoder must give: one per 45 source bytes.
std::string ExpectedLines(const std::string& bytes, UUMethods method) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += 45) {
        const std::string chunk = bytes.substr(at, 45);
        if (method == uuCode) out += kUu[chunk.size()];
        out += Reference(chunk, method == uuMime ? kBase64 : kUu, method == uuMime) + "\r\n";
    }
    if (method == uuCode) out += "`\r\n";
    return out;
}

std::string Contents(TMemoryStream& m) {
    return std::string(m.Memory(), static_cast<std::size_t>(m.Size()));
}

std::string EncodeToMemory(const std::string& bytes, UUMethods method) {
    TMemoryStream source, target;
    source.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    TNMUUProcessor e(nullptr);
    e.Method = method;
    e.SourceStream = &source;
    e.TargetStream = &target;
    e.Encode();
    EXPECT_EQ(target.GetPosition(), 0);
    EXPECT_EQ(source.GetPosition(), static_cast<std::int64_t>(bytes.size()));
    return Contents(target);
}

// A stream that raises on the read or write with the given number (counted from 1) and
// records whether it was rewound afterwards.
class TFailingStream : public TMemoryStream {
public:
    std::int32_t Read(void* Buffer, std::int32_t Count) override {
        if (++reads == failRead) throw EStreamError("read failed");
        return TMemoryStream::Read(Buffer, Count);
    }
    std::int32_t Write(const void* Buffer, std::int32_t Count) override {
        if (++writes == failWrite) throw EStreamError("write failed");
        return TMemoryStream::Write(Buffer, Count);
    }
    int reads = 0, writes = 0, failRead = -1, failWrite = -1;
};

} // namespace

TEST(Encoder, TablesAndConstruction) {
    EXPECT_EQ(std::string(MimeTable.begin(), MimeTable.end()), kBase64);
    EXPECT_EQ(std::string(UUTABLE.begin(), UUTABLE.end()), kUu);
    TComponent owner;
    TNMUUProcessor e(&owner);
    EXPECT_EQ(e.Owner, &owner);
    EXPECT_EQ(e.Method, uuMime);
    EXPECT_EQ(e.SourceStream, nullptr);
    EXPECT_EQ(e.TargetStream, nullptr);
    EXPECT_EQ(e.EncodeTable, ExchangeTable{});
    e.Method = uuCode;
    e.SetEncodeTable();
    EXPECT_EQ(e.EncodeTable, UUTABLE);
}

TEST(Encoder, LinesMatchAnIndependentEncodingForBoundaryLengths) {
    for (UUMethods method : {uuMime, uuCode}) {
        for (std::size_t n : {0, 1, 2, 3, 44, 45, 46, 89, 90, 91, 1000}) {
            SCOPED_TRACE((method == uuMime ? "mime " : "uu ") + std::to_string(n));
            const std::string bytes = Pattern(n);
            const std::string got = EncodeToMemory(bytes, method);
            EXPECT_EQ(got, ExpectedLines(bytes, method));
            // Shape: full lines of 60 characters (plus the length character in uuCode).
            const std::size_t full = method == uuMime ? 62 : 63;
            if (n >= 45) {
                EXPECT_EQ(got.find("\r\n"), full - 2);
            }
        }
    }
}

TEST(Encoder, KnownLines) {
    struct Case {
        std::string in;
        UUMethods method;
        std::string out;
    } cases[] = {
        {"", uuMime, ""},
        {"", uuCode, "`\r\n"},
        {"f", uuMime, "Zg==\r\n"},
        {"fo", uuMime, "Zm8=\r\n"},
        {"foobar", uuMime, "Zm9vYmFy\r\n"},
        {"abc", uuCode, "#86)C\r\n`\r\n"},
        {"ab", uuCode, "\"86(\r\n`\r\n"},
        {"a", uuCode, "!80\r\n`\r\n"},
        {std::string(3, '\0'), uuCode, "#````\r\n`\r\n"},
        // A last line of 14 bytes begins with "." and is not escaped here.
        {std::string(14, 'x'), uuCode, ".>'AX>'AX>'AX>'AX>'@\r\n`\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(EncodeToMemory(c.in, c.method), c.out);
    }
}

TEST(Encoder, ThroughABufferedStreamAsTheMailDoes) {
    const std::string bytes = Pattern(100000); // about 133 KiB of lines: several buffers
    TMemoryStream source, memory;
    source.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    // The source stands at its end; the whole of it is still encoded.
    TS_BufferStream target(memory);
    TNMUUProcessor e(nullptr);
    e.SourceStream = &source;
    e.TargetStream = &target;
    e.Encode();
    EXPECT_EQ(target.State(), bsUnknown) << "the rewind wrote out the last buffer";
    EXPECT_EQ(Contents(memory), ExpectedLines(bytes, uuMime));
    const std::int64_t size = target.GetSize();
    std::string copy(static_cast<std::size_t>(size), '\0');
    EXPECT_EQ(target.Read(copy.data(), static_cast<std::int32_t>(size)), size);
    EXPECT_EQ(copy, Contents(memory));
}

TEST(Encoder, WritesAtTheTargetPositionAndRewindsIt) {
    TMemoryStream source, target;
    source.Write("abc", 3);
    target.Write("head:", 5);
    TNMUUProcessor e(nullptr);
    e.SourceStream = &source;
    e.TargetStream = &target;
    e.Encode();
    EXPECT_EQ(Contents(target), "head:YWJj\r\n");
    EXPECT_EQ(target.GetPosition(), 0);
    // A change of Method takes effect at the next call.
    e.Method = uuCode;
    target.Clear();
    e.Encode();
    EXPECT_EQ(Contents(target), "#86)C\r\n`\r\n");
}

TEST(Encoder, EventsComeAroundTheLines) {
    TMemoryStream source, target;
    source.Write("abcd", 4);
    TNMUUProcessor e(nullptr);
    e.SourceStream = &source;
    e.TargetStream = &target;
    std::vector<std::string> seen;
    e.OnBeginEncode = [&](TObject* s) {
        EXPECT_EQ(s, &e);
        seen.push_back("begin at " + std::to_string(target.Size()));
    };
    e.OnEndEncode = [&](TObject* s) {
        EXPECT_EQ(s, &e);
        seen.push_back("end at " + std::to_string(target.Size()));
    };
    e.Encode();
    EXPECT_EQ(seen, (std::vector<std::string>{"begin at 0", "end at 10"}));
}

TEST(Encoder, AFailingStreamLeavesTheTargetRewoundAndPassesTheFailureOn) {
    struct Case {
        const char* name;
        int failRead, failWrite;
        const char* message;
    } cases[] = {
        {"first read", 1, -1, "read failed"},
        {"third read", 3, -1, "read failed"},
        {"first write", -1, 1, "write failed"},
        {"second write", -1, 2, "write failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFailingStream source, target;
        const std::string bytes = Pattern(200);
        source.Write(bytes.data(), 200);
        target.Write("xx", 2);
        source.writes = target.writes = 0;
        source.failRead = c.failRead;
        target.failWrite = c.failWrite;
        TNMUUProcessor e(nullptr);
        e.Method = uuCode;
        e.SourceStream = &source;
        e.TargetStream = &target;
        int ended = 0;
        e.OnEndEncode = [&](TObject*) { ++ended; };
        try {
            e.Encode();
            ADD_FAILURE() << "no exception";
        } catch (const EStreamError& ex) {
            EXPECT_EQ(ex.Message(), c.message);
        }
        EXPECT_EQ(target.GetPosition(), 0);
        EXPECT_EQ(ended, 1);
    }
}

TEST(Encoder, TheOriginalFailureWinsOverAFailingRewind) {
    // The buffered target's rewind has to flush into the same broken stream.
    TFailingStream memory, source;
    const std::string bytes = Pattern(200);
    source.Write(bytes.data(), 200);
    source.writes = 0;
    source.failRead = 3;
    memory.failWrite = 1;
    TS_BufferStream target(memory);
    TNMUUProcessor e(nullptr);
    e.SourceStream = &source;
    e.TargetStream = &target;
    try {
        e.Encode();
        ADD_FAILURE() << "no exception";
    } catch (const EStreamError& ex) {
        EXPECT_EQ(ex.Message(), "read failed");
    }
    EXPECT_EQ(target.State(), bsUnknown);
}

TEST(Encoder, ASourceShorterThanItsSizeEnds) {
    // Claims 1000 bytes but delivers 50: the encoder must not loop on empty reads.
    struct TShort : TMemoryStream {
        std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) override {
            if (Origin == soFromEnd) return 1000 + Offset;
            return TMemoryStream::Seek(Offset, Origin);
        }
    } source;
    const std::string bytes = Pattern(50);
    source.Write(bytes.data(), 50);
    TMemoryStream target;
    TNMUUProcessor e(nullptr);
    e.SourceStream = &source;
    e.TargetStream = &target;
    e.Encode();
    EXPECT_EQ(Contents(target), ExpectedLines(bytes, uuMime));
}

TEST(Encoder, RefusesAnUnknownMethodOrMissingStreams) {
    TMemoryStream source, target;
    source.Write("abc", 3);
    target.Write("x", 1);
    TNMUUProcessor e(nullptr);
    EXPECT_THROW(e.Encode(), Exception);
    e.SourceStream = &source;
    e.TargetStream = &target;
    e.Method = static_cast<UUMethods>(2);
    EXPECT_THROW(e.Encode(), Exception);
    EXPECT_EQ(Contents(target), "x");
    EXPECT_EQ(target.GetPosition(), 0);
}

// --- Base64 kernels and the shortcuts -------------------------------------------------

namespace {

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

const TMimeKernel kKernels[] = {mkPortable, mkSsse3, mkAvx2};

const char* KernelName(TMimeKernel k) {
    return k == mkAvx2 ? "avx2" : k == mkSsse3 ? "ssse3" : "portable";
}

// Sets the kernel Encode uses for one scope.
struct UseKernel {
    explicit UseKernel(TMimeKernel k) : saved(MimeKernel) { MimeKernel = k; }
    ~UseKernel() { MimeKernel = saved; }
    TMimeKernel saved;
};

} // namespace

TEST(MimeKernel, ChoiceFollowsTheProcessor) {
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(MimeKernelFor(false, false), mkPortable);
    EXPECT_EQ(MimeKernelFor(true, false), mkSsse3);
    EXPECT_EQ(MimeKernelFor(true, true), mkAvx2);
    __builtin_cpu_init();
    EXPECT_EQ(BestMimeKernel(),
              MimeKernelFor(__builtin_cpu_supports("ssse3"), __builtin_cpu_supports("avx2")));
#else
    EXPECT_EQ(MimeKernelFor(true, true), mkPortable);
    EXPECT_EQ(BestMimeKernel(), mkPortable);
#endif
    EXPECT_EQ(MimeKernel, BestMimeKernel());
}

// Every kernel this processor runs gives the portable bytes, for random lines and for lines
// that put every byte value in each of the three places of a group. The buffers are sized
// to what the kernels may touch, so the sanitizer build catches a read or write beyond it.
TEST(MimeKernel, EveryKernelGivesThePortableBytes) {
    std::string allValues;
    for (int shift = 0; shift < 3; ++shift)
        for (int v = 0; v < 256; ++v) {
            allValues += static_cast<char>(v);
            allValues += static_cast<char>((v * 7 + shift) & 0xFF);
            allValues += static_cast<char>(255 - v);
        }
    allValues.resize(allValues.size() / 45 * 45);
    const std::string inputs[] = {allValues, RandomBytes(45, 1), RandomBytes(45 * 7, 2),
                                  RandomBytes(45 * 2048, 3)};
    for (const std::string& input : inputs) {
        const std::size_t lines = input.size() / 45;
        std::vector<unsigned char> in(input.begin(), input.end());
        in.resize(input.size() + 8);
        std::string portable(lines * 62 + 2, '\0');
        char* end = EncodeMimeLines(mkPortable, in.data(), lines, portable.data());
        ASSERT_EQ(end - portable.data(), static_cast<std::ptrdiff_t>(lines * 62));
        portable.resize(lines * 62);
        EXPECT_EQ(portable, ExpectedLines(input, uuMime));
        for (TMimeKernel k : kKernels) {
            SCOPED_TRACE(std::string(KernelName(k)) + ", " + std::to_string(lines) + " lines");
            if (k > BestMimeKernel()) continue; // this processor lacks it
            std::vector<char> out(lines * 62 + 2 + 16, '#');
            end = EncodeMimeLines(k, in.data(), lines, out.data());
            EXPECT_EQ(end - out.data(), static_cast<std::ptrdiff_t>(lines * 62));
            EXPECT_EQ(std::string(out.data(), lines * 62), portable);
            EXPECT_EQ(std::string(out.end() - 16, out.end()), std::string(16, '#'))
                << "wrote more than 2 bytes past the last line";
        }
    }
    // Asking for a kernel the processor lacks gives the same bytes through one it has.
    std::vector<unsigned char> in(45 + 8, 'x');
    char out[64];
    EncodeMimeLines(mkAvx2, in.data(), 1, out);
    EXPECT_EQ(std::string(out, 62), ExpectedLines(std::string(45, 'x'), uuMime));
}

TEST(Encoder, EveryKernelForEveryLengthUpTo200AndALargeInput) {
    for (TMimeKernel k : kKernels) {
        if (k > BestMimeKernel()) continue;
        SCOPED_TRACE(KernelName(k));
        UseKernel use(k);
        for (std::size_t n = 0; n <= 200; ++n) {
            const std::string bytes = RandomBytes(n, static_cast<unsigned>(n));
            ASSERT_EQ(EncodeToMemory(bytes, uuMime), ExpectedLines(bytes, uuMime)) << n;
        }
        // Several chunks, through a buffered stream as the mail does.
        const std::string bytes = RandomBytes(3 * 92160 + 1234, 99);
        TMemoryStream source, memory;
        source.Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        TS_BufferStream target(memory);
        TNMUUProcessor e(nullptr);
        e.SourceStream = &source;
        e.TargetStream = &target;
        e.Encode();
        EXPECT_TRUE(Contents(memory) == ExpectedLines(bytes, uuMime));
    }
}

namespace {

// A stream that writes only part of every Nth write (0: never), and records the writes.
class TShortWriteStream : public TMemoryStream {
public:
    explicit TShortWriteStream(int Every) : every(Every) {}
    std::int32_t Write(const void* Buffer, std::int32_t Count) override {
        sizes.push_back(Count);
        if (every > 0 && sizes.size() % static_cast<std::size_t>(every) == 0) Count /= 3;
        return TMemoryStream::Write(Buffer, Count);
    }
    int every;
    std::vector<std::int32_t> sizes;
};

// Same behaviour as their bases, but another type, so the encoder takes the line-by-line
// road with them.
class TPlainSource : public TMemoryStream {};
class TPlainBuffer : public TS_BufferStream {
public:
    using TS_BufferStream::TS_BufferStream;
};

struct TRun {
    std::string wrapped;
    std::vector<std::int32_t> sizes;
    int flushes = 0;
    std::int64_t sourcePosition = 0;
    std::string failure;
    bool operator==(const TRun&) const = default;
};

TRun RunThrough(const std::string& Bytes, UUMethods Method, int ShortEvery, bool PlainSource,
                bool PlainTarget) {
    TMemoryStream exactSource;
    TPlainSource plainSource;
    TMemoryStream& source = PlainSource ? plainSource : exactSource;
    source.Write(Bytes.data(), static_cast<std::int32_t>(Bytes.size()));
    TShortWriteStream wrapped(ShortEvery);
    TRun run;
    {
        std::unique_ptr<TS_BufferStream> target = PlainTarget
                                                      ? std::make_unique<TPlainBuffer>(wrapped)
                                                      : std::make_unique<TS_BufferStream>(wrapped);
        target->OnBufferFlushed = [&](TObject*) { ++run.flushes; };
        TNMUUProcessor e(nullptr);
        e.Method = Method;
        e.SourceStream = &source;
        e.TargetStream = target.get();
        try {
            e.Encode();
        } catch (const Exception& x) {
            run.failure = x.Message(); // a short last flush fails the rewind
        }
    }
    run.wrapped = Contents(wrapped);
    run.sizes = wrapped.sizes;
    run.sourcePosition = source.GetPosition();
    return run;
}

} // namespace

// Reading many lines at once and handing many lines to a buffered target in one Write are
// shortcuts only: what the buffered stream's own stream sees (every write, and the bytes a
// refused flush loses) and the flush events must be those of the line-by-line road.
TEST(Encoder, ShortcutsLeaveTheBufferedStreamsWritesAlone) {
    const std::string sizes[] = {RandomBytes(45 * 2048 * 2 + 45 * 3 + 17, 5),
                                 RandomBytes(45 * 2048, 6), RandomBytes(40000, 7)};
    for (const std::string& bytes : sizes)
        for (UUMethods method : {uuMime, uuCode})
            for (int shortEvery : {0, 1, 3}) {
                SCOPED_TRACE(std::to_string(bytes.size()) + (method == uuMime ? " mime" : " uu") +
                             ", every " + std::to_string(shortEvery) + " flush short");
                const TRun lineByLine = RunThrough(bytes, method, shortEvery, true, true);
                if (shortEvery == 0) {
                    EXPECT_TRUE(lineByLine.wrapped == ExpectedLines(bytes, method));
                }
                EXPECT_TRUE(RunThrough(bytes, method, shortEvery, false, false) == lineByLine);
                EXPECT_TRUE(RunThrough(bytes, method, shortEvery, false, true) == lineByLine);
                EXPECT_TRUE(RunThrough(bytes, method, shortEvery, true, false) == lineByLine);
            }
}

TEST(Encoder, AFileSourceIsReadWhole) {
    char dir[] = "/tmp/quillo-enc-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/in.bin";
    for (std::size_t n : {std::size_t{0}, std::size_t{44}, std::size_t{92160 * 2 + 1}}) {
        SCOPED_TRACE(n);
        const std::string bytes = RandomBytes(n, 11);
        {
            TFileStream out(path, fmCreate);
            out.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        }
        TFileStream source(path, fmOpenRead);
        TMemoryStream memory;
        TS_BufferStream target(memory);
        TNMUUProcessor e(nullptr);
        e.SourceStream = &source;
        e.TargetStream = &target;
        e.Encode();
        EXPECT_EQ(source.GetPosition(), static_cast<std::int64_t>(n));
        EXPECT_TRUE(Contents(memory) == ExpectedLines(bytes, uuMime));
    }
    std::remove(path.c_str());
    ::rmdir(dir);
}
