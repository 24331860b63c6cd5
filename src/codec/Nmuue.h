// The attachment encoder: turns the bytes of a stream into lines of base64 (uuMime) or of
// the uuencode character mapping (uuCode), each line ending in CR LF.
#pragma once

#include "platform/Classes.h"
#include "platform/Streams.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillo {

enum UUMethods : std::uint8_t { uuMime = 0, uuCode = 1 };

using ExchangeTable = std::array<char, 64>;

// "A".."Z", "a".."z", "0".."9", "+", "/".
extern const ExchangeTable MimeTable;
// Backquote for 0, then "!" (0x21) up to "_" (0x5F) for 1..63.
extern const ExchangeTable UUTABLE;

// Base64 of whole 45-byte lines, which make up nearly all of an attachment. The variants for
// the SSSE3 and AVX2 instruction sets give exactly the bytes of the portable one.
enum TMimeKernel : std::uint8_t { mkPortable = 0, mkSsse3 = 1, mkAvx2 = 2 };

// The best kernel for a processor with (or without) each instruction set.
TMimeKernel MimeKernelFor(bool HasSsse3, bool HasAvx2);
// MimeKernelFor this processor; mkPortable where this build has no other.
TMimeKernel BestMimeKernel();
// The kernel Encode uses; BestMimeKernel() at start. Tests and benchmarks may pick another.
extern TMimeKernel MimeKernel;

// Encodes Lines lines of 45 bytes from In into Out, each as 60 characters and CR LF, and
// returns the end of the output. Reads up to 8 bytes past the last line of In and may
// scribble on 2 bytes past the last line of Out. A kernel the processor lacks is replaced by
// the best one it has.
char* EncodeMimeLines(TMimeKernel Kernel, const unsigned char* In, std::size_t Lines, char* Out);

class TNMUUProcessor : public TComponent {
public:
    explicit TNMUUProcessor(TComponent* AOwner = nullptr);

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    TNotifyEvent OnBeginDecode; // decoding is not offered; kept for the component's shape
    TNotifyEvent OnEndDecode;
    ExchangeTable EncodeTable{};     // zero until SetEncodeTable first fills it
    TStream* SourceStream = nullptr; // not owned
    TStream* TargetStream = nullptr; // not owned
    UUMethods Method = uuMime;

    // Copies the alphabet of Method into EncodeTable.
    void SetEncodeTable();
    // Encodes the whole of SourceStream (from its first byte, whatever its position) into
    // TargetStream at the target's position: lines of up to 45 source bytes, each written
    // with one Write; uuCode adds a closing backquote line. Afterwards the target stands at
    // 0, also when a read or write raised (that exception reaches the caller unchanged).
    //
    // Two shortcuts leave every observable byte and call alone: a file or memory stream,
    // which always delivers whole counts, is read many lines at a time, and a buffered
    // stream target takes many lines per Write, since it hands its wrapped stream the same
    // 32768-byte blocks either way.
    void Encode();
};

} // namespace quillo
