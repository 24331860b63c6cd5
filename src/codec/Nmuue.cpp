#include "codec/Nmuue.h"

#include "codec/Nms_stream.h"
#include "platform/Exceptions.h"
#include "platform/FileStream.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#if defined(__x86_64__) || defined(__i386__)
#define QUILLO_X86_KERNELS 1
#include <immintrin.h>
#endif

namespace quillo {

namespace {

constexpr ExchangeTable MakeMimeTable() {
    ExchangeTable t{};
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<std::size_t>(i)] = alphabet[i];
    return t;
}

constexpr ExchangeTable MakeUuTable() {
    ExchangeTable t{};
    t[0] = '`';
    for (int v = 1; v < 64; ++v)
        t[static_cast<std::size_t>(v)] = static_cast<char>(32 + v);
    return t;
}

constexpr std::int32_t kLineBytes = 45;
// Lines read and encoded at a time on the shortcut: 92,160 bytes in (large enough for the
// file stream to read straight into it) and at most 129,024 out, together well inside L2.
constexpr std::int32_t kChunkLines = 2048;
// What the SIMD kernels may touch beyond the last line: 7 bytes read, 2 bytes written.
constexpr std::size_t kInSlack = 8;
constexpr std::size_t kOutSlack = 2;

// Every 12-bit value as its two characters, so that three bytes take two lookups.
struct TPairTable {
    explicit TPairTable(const ExchangeTable& Table) {
        for (unsigned v = 0; v < 4096; ++v) {
            Pairs[v][0] = Table[v >> 6];
            Pairs[v][1] = Table[v & 63];
        }
    }
    char Pairs[4096][2];
};

// Encodes one line of N (1..45) bytes into Out, CR LF included; returns its length.
std::int32_t EncodeLine(const unsigned char* In, std::int32_t N, const char* Table,
                        const TPairTable& Pairs, bool Mime, char* Out) {
    char* o = Out;
    if (!Mime) *o++ = Table[N & 63];
    const unsigned char* p = In;
    const unsigned char* const groupsEnd = In + (N / 3) * 3;
    for (; p != groupsEnd; p += 3) {
        const unsigned v = (unsigned{p[0]} << 16) | (unsigned{p[1]} << 8) | p[2];
        std::memcpy(o, Pairs.Pairs[v >> 12], 2);
        std::memcpy(o + 2, Pairs.Pairs[v & 0xFFF], 2);
        o += 4;
    }
    switch (N % 3) {
    case 1: {
        const unsigned b0 = p[0];
        *o++ = Table[b0 >> 2];
        *o++ = Table[(b0 << 4) & 0x30];
        if (Mime) {
            *o++ = '=';
            *o++ = '=';
        }
        break;
    }
    case 2: {
        const unsigned b0 = p[0], b1 = p[1];
        *o++ = Table[b0 >> 2];
        *o++ = Table[((b0 << 4) & 0x30) | (b1 >> 4)];
        *o++ = Table[(b1 << 2) & 0x3C];
        if (Mime) *o++ = '=';
        break;
    }
    default:
        break;
    }
    *o++ = '\r';
    *o++ = '\n';
    return static_cast<std::int32_t>(o - Out);
}

constexpr std::size_t kMimeLine = 62; // 60 characters and CR LF

char* PortableMimeLines(const unsigned char* In, std::size_t Lines, char* Out);

#if QUILLO_X86_KERNELS

// Twelve bytes at the start of each 128-bit lane become sixteen base64 characters: spread
// every three bytes over a 32-bit word, cut out the four 6-bit values with two multiplies,
// then turn each value into its character by adding the offset of its range of the
// alphabet, found by a byte shuffle.
__attribute__((target("ssse3"))) inline __m128i Base64Block16(__m128i In) {
    const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
    const __m128i v = _mm_shuffle_epi8(In, spread);
    const __m128i hi =
        _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i lo =
        _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i values = _mm_or_si128(hi, lo);
    // 0..25 -> 13 ("A"), 26..51 -> 0 ("a"), 52..61 -> 1..10 ("0"), 62 -> 11, 63 -> 12.
    __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
    const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), values);
    range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
    const __m128i offsets =
        _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm_add_epi8(_mm_shuffle_epi8(offsets, range), values);
}

__attribute__((target("avx2"))) inline __m256i Base64Block32(__m256i In) {
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i v = _mm256_shuffle_epi8(In, spread);
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0)),
                                          _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(hi, lo);
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
    range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    const __m256i offsets =
        _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, //
                         'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm256_add_epi8(_mm256_shuffle_epi8(offsets, range), values);
}

// A line is four blocks of 12 bytes (the last one reads 3 bytes of the next line, whose
// characters the CR LF and the next line overwrite).
__attribute__((target("ssse3"))) char* Ssse3MimeLines(const unsigned char* In, std::size_t Lines,
                                                      char* Out) {
    for (std::size_t i = 0; i < Lines; ++i, In += kLineBytes, Out += kMimeLine) {
        for (int b = 0; b < 4; ++b) {
            const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In + 12 * b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(Out + 16 * b), Base64Block16(in));
        }
        Out[60] = '\r';
        Out[61] = '\n';
    }
    return Out;
}

// A line is two blocks of 24 bytes, each lane taking 12.
__attribute__((target("avx2"))) char* Avx2MimeLines(const unsigned char* In, std::size_t Lines,
                                                    char* Out) {
    for (std::size_t i = 0; i < Lines; ++i, In += kLineBytes, Out += kMimeLine) {
        for (int b = 0; b < 2; ++b) {
            const unsigned char* p = In + 24 * b;
            const __m256i in = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + 32 * b), Base64Block32(in));
        }
        Out[60] = '\r';
        Out[61] = '\n';
    }
    return Out;
}

#endif

char* PortableMimeLines(const unsigned char* In, std::size_t Lines, char* Out) {
    static const TPairTable pairs(MakeMimeTable());
    static constexpr ExchangeTable table = MakeMimeTable();
    for (std::size_t i = 0; i < Lines; ++i, In += kLineBytes)
        Out += EncodeLine(In, kLineBytes, table.data(), pairs, true, Out);
    return Out;
}

// Streams whose Read always delivers the whole count asked for until the end, so that
// reading many lines at once cuts the same lines as reading 45 bytes at a time.
bool DeliversWholeCounts(const TStream& Stream) {
    const std::type_info& type = typeid(Stream);
    return type == typeid(TFileStream) || type == typeid(TMemoryStream);
}

} // namespace

const ExchangeTable MimeTable = MakeMimeTable();
const ExchangeTable UUTABLE = MakeUuTable();

TMimeKernel MimeKernelFor(bool HasSsse3, bool HasAvx2) {
#if QUILLO_X86_KERNELS
    if (HasAvx2) return mkAvx2;
    if (HasSsse3) return mkSsse3;
#else
    (void)HasSsse3;
    (void)HasAvx2;
#endif
    return mkPortable;
}

TMimeKernel BestMimeKernel() {
#if QUILLO_X86_KERNELS
    // May run from a static initializer, before the run-time has looked at the processor.
    __builtin_cpu_init();
    return MimeKernelFor(__builtin_cpu_supports("ssse3"), __builtin_cpu_supports("avx2"));
#else
    return mkPortable;
#endif
}

TMimeKernel MimeKernel = BestMimeKernel();

char* EncodeMimeLines(TMimeKernel Kernel, const unsigned char* In, std::size_t Lines, char* Out) {
#if QUILLO_X86_KERNELS
    static const TMimeKernel best = BestMimeKernel();
    switch (std::min(Kernel, best)) {
    case mkAvx2:
        return Avx2MimeLines(In, Lines, Out);
    case mkSsse3:
        return Ssse3MimeLines(In, Lines, Out);
    default:
        break;
    }
#else
    (void)Kernel;
#endif
    return PortableMimeLines(In, Lines, Out);
}

TNMUUProcessor::TNMUUProcessor(TComponent* AOwner) : TComponent(AOwner) {}

void TNMUUProcessor::SetEncodeTable() {
    switch (Method) {
    case uuMime:
        EncodeTable = MimeTable;
        break;
    case uuCode:
        EncodeTable = UUTABLE;
        break;
    default:
        // Neither alphabet applies; refuse rather than emit lines nobody can decode.
        throw Exception("Invalid encode method = " + std::to_string(static_cast<unsigned>(Method)));
    }
}

void TNMUUProcessor::Encode() {
    if (SourceStream == nullptr || TargetStream == nullptr)
        throw Exception("Encode needs a source and a target stream");
    TStream& source = *SourceStream;
    TStream& target = *TargetStream;

    source.SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
    try {
        SetEncodeTable();
        const bool mime = Method == uuMime;
        const char* table = EncodeTable.data();
        const auto pairs = std::make_unique<TPairTable>(EncodeTable);
        const bool bulk = DeliversWholeCounts(source);
        const bool batch = typeid(target) == typeid(TS_BufferStream);
        const std::int32_t lineLength = mime ? 62 : 63; // a full line with its CR LF
        const std::int32_t chunkLines = bulk ? kChunkLines : 1;
        const auto in = std::make_unique<unsigned char[]>(
            static_cast<std::size_t>(chunkLines) * kLineBytes + kInSlack);
        const auto out = std::make_unique<char[]>(static_cast<std::size_t>(chunkLines) *
                                                      static_cast<std::size_t>(lineLength) +
                                                  kOutSlack);

        // The size is taken once: asking for it on every line would cost three seeks a line.
        const std::int64_t size = source.GetSize();
        std::int64_t position = 0;
        while (position < size) {
            // As many 45-byte reads as it takes to pass the size, in one read.
            const auto want = static_cast<std::int32_t>(
                std::min<std::int64_t>(chunkLines,
                                       (size - position + kLineBytes - 1) / kLineBytes) *
                kLineBytes);
            std::int32_t n = source.Read(in.get(), want);
            // A source that ends before its size said would otherwise give empty lines forever.
            if (n <= 0) break;
            if (n > want) n = want;
            position += n;

            const std::int32_t full = n / kLineBytes;
            char* o = out.get();
            if (mime) {
                o = EncodeMimeLines(MimeKernel, in.get(), static_cast<std::size_t>(full), o);
            } else {
                for (std::int32_t i = 0; i < full; ++i)
                    o += EncodeLine(in.get() + i * kLineBytes, kLineBytes, table, *pairs, false, o);
            }
            if (const std::int32_t rest = n % kLineBytes; rest > 0)
                o += EncodeLine(in.get() + full * kLineBytes, rest, table, *pairs, mime, o);

            const auto total = static_cast<std::int32_t>(o - out.get());
            if (!batch) {
                for (std::int32_t at = 0; at < total; at += lineLength)
                    target.Write(out.get() + at, std::min(lineLength, total - at));
                continue;
            }
            for (std::int32_t at = 0; at < total;) {
                const std::int32_t taken = target.Write(out.get() + at, total - at);
                at += std::max(taken, 0);
                if (at >= total) break;
                // The buffer's stream refused a flush and the write stopped there. Line by
                // line, the rest of that line would have been lost and the next line written
                // into the emptied buffer: go on the same way.
                std::int32_t next = (at + lineLength - 1) / lineLength * lineLength;
                if (next == at && taken <= 0) next += lineLength;
                at = std::min(next, total);
            }
        }
        if (mime) {
            target.Write(out.get(), 0); // base64 has no closing line
        } else {
            char* line = out.get();
            line[0] = table[0];
            line[1] = '\r';
            line[2] = '\n';
            target.Write(line, 3);
        }
    } catch (...) {
        // The caller gets the original failure, whatever the rewind or the event do now.
        try {
            target.SetPosition(0);
        } catch (...) {
        }
        try {
            if (OnEndEncode) OnEndEncode(this);
        } catch (...) {
        }
        throw;
    }
    target.SetPosition(0);
    if (OnEndEncode) OnEndEncode(this);
}

} // namespace quillo
