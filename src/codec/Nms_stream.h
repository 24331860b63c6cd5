// A stream that stands in front of another one and moves bytes to and from it through one
// fixed buffer, so that many short writes reach the wrapped stream as few long ones and many
// short reads are served from memory.
#pragma once

#include "platform/Classes.h"
#include "platform/Streams.h"

#include <cstdint>

namespace quillo {

// Buffer size of every buffered stream created from now on (read by each construction).
extern std::int32_t BufferSize;

enum TS_BufferState : std::uint8_t {
    bsUnknown = 0, // nothing pending
    bsRead = 1,    // the buffer holds bytes read ahead from the wrapped stream
    bsWrite = 2,   // the buffer holds bytes not yet written to the wrapped stream
};

// The logical position is the wrapped stream's position plus GetBufPosition(). Position and
// size reach this class only through Seek (see TStream).
//
// The wrapped stream is not owned: it must outlive the buffered stream, whose destructor
// writes pending bytes into it.
class TS_BufferStream : public TStream {
public:
    explicit TS_BufferStream(TStream& AStream);
    // Flushes pending bytes (a failure of that last flush is ignored), then frees the buffer.
    ~TS_BufferStream() override;

    std::int32_t Read(void* Buffer, std::int32_t Count) override;
    std::int32_t Write(const void* Buffer, std::int32_t Count) override;
    // Origin 0 from the beginning, 1 from the current position, 2 back from the end (a positive
    // offset counts back). Another origin raises Exception "Invalid seek origin = N"; a flush
    // the wrapped stream does not fully take raises EStreamError "Seek error". A seek to the
    // current logical position changes nothing.
    std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) override;

    // Reads up to a buffer's worth from the wrapped stream; true when at least one byte came.
    virtual bool FillBuffer();
    // Steps back one byte in the buffer and stores C there; EStreamError "PutBack overflow"
    // when there is no byte before the current one.
    virtual void PutBack(char C);
    // Hooks called after every fill and flush; by default they call the events below.
    virtual void AfterFillBuffer();
    virtual void AfterFlushBuffer();
    // Writes the pending bytes; true when the wrapped stream took all of them. The buffer
    // counts as empty afterwards either way.
    virtual bool FlushBuffer();

    // Offset of the logical position from the wrapped stream's: 0 with nothing pending,
    // minus the undelivered read-ahead when reading, plus the pending bytes when writing.
    std::int32_t GetBufPosition() const;
    // True when every read-ahead byte was delivered and the wrapped stream is at its end.
    bool IsEof();

    TS_BufferState State() const { return FState; }
    std::int32_t BufSize() const { return FBufSize; }
    TStream& Stream() const { return *FStream; }

    TNotifyEvent OnBufferFilled;
    TNotifyEvent OnBufferFlushed;

protected:
    TStream* FStream;
    char* FBufStart;
    char* FCurrent = nullptr; // next byte to read or fill; null after a moving seek
    char* FEnd;               // reading: past the last byte filled; writing: past the buffer
    std::int32_t FBufSize;
    TS_BufferState FState = bsUnknown;
};

} // namespace quillo
