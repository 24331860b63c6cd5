#include "codec/Nms_stream.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quillo {

std::int32_t BufferSize = 0x8000;

TS_BufferStream::TS_BufferStream(TStream& AStream)
    : FStream(&AStream), FBufStart(nullptr), FEnd(nullptr), FBufSize(BufferSize) {
    if (FBufSize <= 0) throw EStreamError("Invalid buffer size");
    FBufStart = new char[static_cast<std::size_t>(FBufSize)];
    FEnd = FBufStart + FBufSize;
}

TS_BufferStream::~TS_BufferStream() {
    if (FState == bsWrite) {
        // A destructor must not throw; the wrapped stream's failure is lost like a short write.
        try {
            FlushBuffer();
        } catch (...) {
        }
    }
    delete[] FBufStart;
}

bool TS_BufferStream::FillBuffer() {
    const std::int32_t n = FStream->Read(FBufStart, FBufSize);
    const std::int32_t got = n > 0 ? n : 0;
    FCurrent = FBufStart;
    FEnd = FBufStart + got;
    FState = got != 0 ? bsRead : bsUnknown;
    AfterFillBuffer();
    return got != 0;
}

bool TS_BufferStream::FlushBuffer() {
    // Only a write buffer holds bytes for the wrapped stream; read-ahead is never written back.
    const auto pending = static_cast<std::int32_t>(FState == bsWrite ? FCurrent - FBufStart : 0);
    std::int32_t written = 0;
    // The buffer counts as empty even when the wrapped stream raised.
    try {
        if (pending > 0) written = FStream->Write(FBufStart, pending);
    } catch (...) {
        FCurrent = FBufStart;
        FState = bsUnknown;
        throw;
    }
    FCurrent = FBufStart;
    FState = bsUnknown;
    AfterFlushBuffer();
    return written == pending;
}

void TS_BufferStream::AfterFillBuffer() {
    if (OnBufferFilled) OnBufferFilled(this);
}

void TS_BufferStream::AfterFlushBuffer() {
    if (OnBufferFlushed) OnBufferFlushed(this);
}

std::int32_t TS_BufferStream::GetBufPosition() const {
    switch (FState) {
    case bsRead:
        return static_cast<std::int32_t>(FCurrent - FEnd);
    case bsWrite:
        return static_cast<std::int32_t>(FCurrent - FBufStart);
    default:
        return 0;
    }
}

std::int32_t TS_BufferStream::Read(void* Buffer, std::int32_t Count) {
    if (FState == bsWrite) FlushBuffer();
    if (FState != bsRead)
        FCurrent = FEnd; // nothing read ahead: the next byte comes from the wrapped stream
    auto* out = static_cast<char*>(Buffer);
    std::int32_t total = 0;
    while (Count > 0) {
        if (FCurrent == FEnd && !FillBuffer()) break;
        const auto n = static_cast<std::int32_t>(std::min<std::ptrdiff_t>(Count, FEnd - FCurrent));
        std::memcpy(out, FCurrent, static_cast<std::size_t>(n));
        FCurrent += n;
        out += n;
        Count -= n;
        total += n;
    }
    return total;
}

std::int32_t TS_BufferStream::Write(const void* Buffer, std::int32_t Count) {
    if (FState == bsRead) {
        // Drop the read-ahead: the write lands at the logical position.
        FStream->Seek(FStream->GetPosition() + GetBufPosition(), soFromBeginning);
        FState = bsUnknown;
    }
    if (FState != bsWrite) {
        FCurrent = FBufStart;
        FEnd = FBufStart + FBufSize;
        FState = bsWrite;
    }
    const auto* in = static_cast<const char*>(Buffer);
    std::int32_t total = 0;
    while (Count > 0) {
        const auto n = static_cast<std::int32_t>(std::min<std::ptrdiff_t>(Count, FEnd - FCurrent));
        std::memcpy(FCurrent, in, static_cast<std::size_t>(n));
        FCurrent += n;
        in += n;
        Count -= n;
        total += n;
        if (FCurrent == FEnd) {
            if (!FlushBuffer()) break;
            FState = bsWrite; // the emptied buffer takes the rest
        }
    }
    // A write that ended exactly on a full buffer has just been flushed: nothing is pending.
    FState = FCurrent != FBufStart ? bsWrite : bsUnknown;
    return total;
}

std::int64_t TS_BufferStream::Seek(std::int64_t Offset, std::uint16_t Origin) {
    if (Origin > soFromEnd) throw Exception("Invalid seek origin = " + std::to_string(Origin));
    const std::int64_t current = FStream->GetPosition() + GetBufPosition();
    std::int64_t target;
    switch (Origin) {
    case soFromBeginning:
        target = Offset;
        break;
    case soFromCurrent:
        target = current + Offset;
        break;
    default: {
        // A positive offset counts back from the end. Pending bytes that lie past the wrapped
        // stream's end count as part of the stream, so the size is right before any flush.
        std::int64_t size = FStream->GetSize();
        if (FState == bsWrite) size = std::max(size, current);
        target = size - Offset;
        break;
    }
    }
    if (target == current) return target;
    if (FState == bsWrite && !FlushBuffer()) throw EStreamError("Seek error");
    const std::int64_t moved = FStream->Seek(target, soFromBeginning);
    FCurrent = nullptr;
    FState = bsUnknown;
    return moved; // the target, unless the wrapped stream refused it (a negative one)
}

void TS_BufferStream::PutBack(char C) {
    if (FCurrent == nullptr || FCurrent <= FBufStart) throw EStreamError("PutBack overflow");
    --FCurrent;
    *FCurrent = C;
}

bool TS_BufferStream::IsEof() {
    return FCurrent == FEnd && FStream->GetPosition() == FStream->GetSize();
}

} // namespace quillo
