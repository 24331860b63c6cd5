// The attachment encoder: turns the bytes of a stream into lines of base64 (uuMime) or of
// the uuencode character mapping (uuCode), each line ending in CR LF.
#pragma once

#include "platform/Classes.h"
#include "platform/Streams.h"

#include <array>
#include <cstdint>

namespace quillo {

enum UUMethods : std::uint8_t { uuMime = 0, uuCode = 1 };

using ExchangeTable = std::array<char, 64>;

// "A".."Z", "a".."z", "0".."9", "+", "/".
extern const ExchangeTable MimeTable;
// Backquote for 0, then "!" (0x21) up to "_" (0x5F) for 1..63.
extern const ExchangeTable UUTABLE;

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
    void Encode();
};

} // namespace quillo
