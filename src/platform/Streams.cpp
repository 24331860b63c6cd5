#include "platform/Streams.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace quillo {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this capacity on a block is mapped; below it malloc's heap is cheaper.
constexpr std::int64_t kMapFrom = std::int64_t{4} << 20;

// A fresh anonymous mapping of Size bytes (a multiple of kHugePage) starting on a huge-page
// boundary, so that every 2 MiB of it can be one page.
char* MapBlock(std::size_t Size) {
    const std::size_t length = Size + kHugePage;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) ::munmap(p, aligned - start);
    if (const std::uintptr_t end = aligned + Size; start + length > end)
        ::munmap(reinterpret_cast<void*>(end), start + length - end);
    // Only advice: where transparent huge pages are off this changes nothing.
    ::madvise(reinterpret_cast<void*>(aligned), Size, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(aligned);
}

} // namespace

void TStream::SetSize(std::int64_t) {}

std::int64_t TStream::GetSize() {
    const std::int64_t pos = Seek(0, soFromCurrent);
    const std::int64_t size = Seek(0, soFromEnd);
    Seek(pos, soFromBeginning);
    return size;
}

void TStream::ReadBuffer(void* Buffer, std::int32_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
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

TMemoryStream::~TMemoryStream() {
    Clear();
}

void TMemoryStream::Reserve(std::int64_t NewCapacity) {
    if (NewCapacity <= capacity_) return;
    if (NewCapacity < kMapFrom) {
        void* p = std::realloc(data_, static_cast<std::size_t>(NewCapacity));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = NewCapacity;
        return;
    }
    const std::size_t newSize =
        (static_cast<std::size_t>(NewCapacity) + kHugePage - 1) & ~(kHugePage - 1);
    char* block = MapBlock(newSize);
    if (!mapped_) {
        if (size_ > 0) std::memcpy(block, data_, static_cast<std::size_t>(size_));
        std::free(data_);
    } else {
        // Move the old pages to the start of the new block: page tables change hands, no byte
        // is copied, and both ends stay on huge-page boundaries.
        const auto oldSize = static_cast<std::size_t>(capacity_);
        if (::mremap(data_, oldSize, oldSize, MREMAP_MAYMOVE | MREMAP_FIXED, block) == MAP_FAILED) {
            std::memcpy(block, data_, static_cast<std::size_t>(size_));
            ::munmap(data_, oldSize);
        }
    }
    data_ = block;
    capacity_ = static_cast<std::int64_t>(newSize);
    mapped_ = true;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0) throw EStreamError("Stream write error");
    Reserve(NewSize);
    size_ = NewSize;
    if (position_ > size_) position_ = size_;
}

void TMemoryStream::Clear() {
    if (mapped_)
        ::munmap(data_, static_cast<std::size_t>(capacity_));
    else
        std::free(data_);
    data_ = nullptr;
    mapped_ = false;
    size_ = capacity_ = position_ = 0;
}

std::int32_t TMemoryStream::Read(void* Buffer, std::int32_t Count) {
    if (Count <= 0 || position_ >= size_) return 0;
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(Count, size_ - position_));
    std::memcpy(Buffer, data_ + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int32_t TMemoryStream::Write(const void* Buffer, std::int32_t Count) {
    if (Count <= 0) return 0;
    const std::int64_t end = position_ + Count;
    if (end > capacity_) Reserve(std::max<std::int64_t>(end, capacity_ + capacity_ / 2 + 4096));
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
    if (position_ < 0) position_ = 0;
    return position_;
}

} // namespace quillo
