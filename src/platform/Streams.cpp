#include "platform/Streams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Exceptions.h"

namespace quillo {

void TStream::SetSize(std::int64_t) {}

std::int64_t TStream::GetSize() {
    const std::int64_t pos = Seek(0, soFromCurrent);
    const std::int64_t size = Seek(0, soFromEnd);
    Seek(pos, soFromBeginning);
    return size;
}

void TStream::ReadBuffer(void* Buffer, std::int32_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EStreamError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.GetSize();
    }
    constexpr std::int32_t kChunk = 1 << 16;
    char buf[kChunk];
    std::int64_t left = Count;
    while (left > 0) {
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(left, kChunk));
        Source.ReadBuffer(buf, n);
        WriteBuffer(buf, n);
        left -= n;
    }
    return Count;
}

TMemoryStream::~TMemoryStream() { std::free(data_); }

void TMemoryStream::Reserve(std::int64_t NewCapacity) {
    if (NewCapacity <= capacity_)
        return;
    void* p = std::realloc(data_, static_cast<std::size_t>(NewCapacity));
    if (p == nullptr)
        throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = NewCapacity;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0)
        throw EStreamError("Stream write error");
    Reserve(NewSize);
    size_ = NewSize;
    if (position_ > size_)
        position_ = size_;
}

void TMemoryStream::Clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = position_ = 0;
}

std::int32_t TMemoryStream::Read(void* Buffer, std::int32_t Count) {
    if (Count <= 0 || position_ >= size_)
        return 0;
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(Count, size_ - position_));
    std::memcpy(Buffer, data_ + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int32_t TMemoryStream::Write(const void* Buffer, std::int32_t Count) {
    if (Count <= 0)
        return 0;
    const std::int64_t end = position_ + Count;
    if (end > capacity_)
        Reserve(std::max<std::int64_t>(end, capacity_ + capacity_ / 2 + 4096));
    if (position_ > size_) // a seek beyond the end leaves a gap of zeros
        std::memset(data_ + size_, 0, static_cast<std::size_t>(position_ - size_));
    std::memcpy(data_ + position_, Buffer, static_cast<std::size_t>(Count));
    position_ = end;
    size_ = std::max(size_, end);
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, std::uint16_t Origin) {
    switch (Origin) {
    case soFromBeginning:
        position_ = Offset;
        break;
    case soFromCurrent:
        position_ += Offset;
        break;
    case soFromEnd:
        position_ = size_ + Offset;
        break;
    default:
        break;
    }
    if (position_ < 0)
        position_ = 0;
    return position_;
}

} // namespace quillo
