// Byte streams: the abstract stream and the memory stream.
#pragma once

#include "platform/Classes.h"

#include <cstdint>

namespace quillo {

enum TSeekOrigin : std::uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// Position and size are derived from Seek alone, so a descendant that overrides Read, Write
// and Seek gets them for free (the buffered stream relies on this).
class TStream : public TObject {
public:
    virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;
    virtual std::int32_t Write(const void* Buffer, std::int32_t Count) = 0;
    virtual std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) = 0;
    virtual void SetSize(std::int64_t NewSize);

    std::int64_t GetPosition() { return Seek(0, soFromCurrent); }
    void SetPosition(std::int64_t Pos) { Seek(Pos, soFromBeginning); }
    // Current position, then the end, then back: three seeks.
    std::int64_t GetSize();

    // Whole-count variants: a short read or write raises EStreamError.
    void ReadBuffer(void* Buffer, std::int32_t Count);
    void WriteBuffer(const void* Buffer, std::int32_t Count);
    // Copies Count bytes from Source at its position (Count 0: the whole of Source).
    std::int64_t CopyFrom(TStream& Source, std::int64_t Count);
};

// Growable block of memory. A large block (an attachment's encoded text, a whole message) is
// mapped by the stream itself on huge-page boundaries with transparent huge pages advised:
// filling fresh memory in 4 KiB pages costs a fault each, which is as slow as encoding it.
// Growth moves pages instead of copying them, so a large stream is never held twice.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;

    std::int32_t Read(void* Buffer, std::int32_t Count) override;
    std::int32_t Write(const void* Buffer, std::int32_t Count) override;
    std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) override;
    void SetSize(std::int64_t NewSize) override;

    void Clear();
    // Makes room for at least NewCapacity bytes without changing size or position. Bytes
    // between Size and the capacity have no defined value.
    void Reserve(std::int64_t NewCapacity);
    // Reserve for an empty stream whose contents will later be appended to Destination with
    // Append: the block is laid out so that its bytes fall on the same place within a huge
    // page as Destination's end, and Append can then hand whole pages over instead of copying
    // them. Otherwise (not empty, or either block small) it is a plain Reserve.
    void ReserveToAppendTo(std::int64_t NewCapacity, const TMemoryStream& Destination);
    // Appends the whole of Source at the end of this stream, moves the position to the new
    // end and leaves Source empty. Where the two blocks line up (see ReserveToAppendTo) the
    // pages change hands and only the bytes before the first huge-page boundary are copied,
    // so a large Source is never held twice. Returns the number of bytes copied.
    std::int64_t Append(TMemoryStream& Source);
    char* Memory() { return data_; }
    const char* Memory() const { return data_; }
    std::int64_t Size() const { return size_; }

private:
    // Maps a block for at least NewCapacity bytes whose first byte lies Lead bytes past a
    // huge-page boundary, moves the contents there and drops the old block.
    void MapFor(std::int64_t NewCapacity, std::size_t Lead);
    // Forgets the block without releasing it (its pages now belong elsewhere or are gone).
    void Forget();

    char* data_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t capacity_ = 0;
    std::int64_t position_ = 0;
    bool mapped_ = false;       // data_ lies in our own mapping, not from malloc
    char* base_ = nullptr;      // start of that mapping, on a huge-page boundary
    std::size_t mapLength_ = 0; // its length, a whole number of huge pages
};

} // namespace quillo
