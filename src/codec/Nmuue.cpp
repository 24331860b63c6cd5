#include "codec/Nmuue.h"

#include "platform/Exceptions.h"

#include <cstring>
#include <memory>
#include <string>

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
// The line is built in a local buffer so that the target sees a single write per line.
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

} // namespace

const ExchangeTable MimeTable = MakeMimeTable();
const ExchangeTable UUTABLE = MakeUuTable();

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
        // The size is taken once: asking for it on every line would cost three seeks a line.
        const std::int64_t size = source.GetSize();
        std::int64_t position = 0;
        unsigned char in[kLineBytes];
        char line[1 + 60 + 2];
        while (position < size) {
            std::int32_t n = source.Read(in, kLineBytes);
            // A source that ends before its size said would otherwise give empty lines forever.
            if (n <= 0) break;
            if (n > kLineBytes) n = kLineBytes;
            position += n;
            target.Write(line, EncodeLine(in, n, table, *pairs, mime, line));
        }
        if (mime) {
            target.Write(line, 0); // base64 has no closing line
        } else {
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
