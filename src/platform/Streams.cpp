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

std::size_t RoundUpHuge(std::size_t Size) {
    return (Size + kHugePage - 1) & ~(kHugePage - 1);
}

// Moves the pages of [From, From + Length) to To, replacing what was mapped there; both
// ranges start on huge-page boundaries and Length is a whole number of huge pages. Only page
// tables change hands, no byte is copied. The range may be made of several mappings (pages
// appended from another stream), which one call cannot move: then it goes a huge page at a
// time, as every seam lies on such a boundary. Should the kernel refuse even that, the first
// Used bytes are copied instead. Afterwards nothing is left mapped at From.
// Returns the number of bytes copied.
std::size_t MovePages(char* From, char* To, std::size_t Length, std::size_t Used) {
    if (::mremap(From, Length, Length, MREMAP_MAYMOVE | MREMAP_FIXED, To) != MAP_FAILED) return 0;
    for (std::size_t at = 0; at < Length; at += kHugePage) {
        if (::mremap(From + at, kHugePage, kHugePage, MREMAP_MAYMOVE | MREMAP_FIXED, To + at) !=
            MAP_FAILED)
            continue;
        const std::size_t copied = Used > at ? Used - at : 0;
        std::memcpy(To + at, From + at, copied);
        ::munmap(From + at, Length - at);
        return copied;
    }
    return 0;
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
    if (!mapped_ && NewCapacity < kMapFrom) {
        void* p = std::realloc(data_, static_cast<std::size_t>(NewCapacity));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        capacity_ = NewCapacity;
        return;
    }
    MapFor(NewCapacity, mapped_ ? static_cast<std::size_t>(data_ - base_) : 0);
}

void TMemoryStream::MapFor(std::int64_t NewCapacity, std::size_t Lead) {
    const std::size_t length = RoundUpHuge(Lead + static_cast<std::size_t>(NewCapacity));
    char* const block = MapBlock(length);
    char* const data = block + Lead;
    if (!mapped_) {
        if (size_ > 0) std::memcpy(data, data_, static_cast<std::size_t>(size_));
        std::free(data_);
    } else if (static_cast<std::size_t>(data_ - base_) == Lead) {
        MovePages(base_, block, mapLength_, Lead + static_cast<std::size_t>(size_));
    } else {
        std::memcpy(data, data_, static_cast<std::size_t>(size_));
        ::munmap(base_, mapLength_);
    }
    base_ = block;
    mapLength_ = length;
    data_ = data;
    capacity_ = static_cast<std::int64_t>(length - Lead);
    mapped_ = true;
}

void TMemoryStream::ReserveToAppendTo(std::int64_t NewCapacity, const TMemoryStream& Destination) {
    if (size_ != 0 || NewCapacity < kMapFrom || !Destination.mapped_) {
        Reserve(NewCapacity);
        return;
    }
    const std::size_t lead =
        reinterpret_cast<std::uintptr_t>(Destination.data_ + Destination.size_) % kHugePage;
    if (mapped_ && static_cast<std::size_t>(data_ - base_) == lead && capacity_ >= NewCapacity)
        return;
    const std::int64_t position = position_; // an empty stream may stand past its end
    Clear();
    MapFor(NewCapacity, lead);
    position_ = position;
}

std::int64_t TMemoryStream::Append(TMemoryStream& Source) {
    const std::int64_t n = Source.size_;
    const std::int64_t at = size_;
    Reserve(at + n);
    if (&Source == this) {
        if (n > 0) std::memcpy(data_ + at, data_, static_cast<std::size_t>(n));
        size_ = position_ = at + n;
        return n;
    }
    std::int64_t copied = n;
    char* const to = data_ + at;
    const char* const from = Source.data_;
    const auto distance =
        reinterpret_cast<std::uintptr_t>(to) - reinterpret_cast<std::uintptr_t>(from);
    if (n > 0 && mapped_ && Source.mapped_ && distance % kHugePage == 0) {
        // Bytes up to the first huge-page boundary are copied; the pages from there on are
        // moved. Both ranges stay inside their mappings, whose ends lie on boundaries too;
        // what the last page holds past Source's end lands past this stream's end.
        const std::size_t toBoundary =
            (kHugePage - reinterpret_cast<std::uintptr_t>(to) % kHugePage) % kHugePage;
        const std::size_t head = std::min(static_cast<std::size_t>(n), toBoundary);
        std::memcpy(to, from, head);
        if (const std::size_t rest = static_cast<std::size_t>(n) - head; rest > 0) {
            char* const src = Source.data_ + head;
            const std::size_t length = RoundUpHuge(rest);
            copied = static_cast<std::int64_t>(head + MovePages(src, to + head, length, rest));
            char* const sourceEnd = Source.base_ + Source.mapLength_;
            if (src > Source.base_)
                ::munmap(Source.base_, static_cast<std::size_t>(src - Source.base_));
            if (src + length < sourceEnd)
                ::munmap(src + length, static_cast<std::size_t>(sourceEnd - (src + length)));
            Source.Forget();
        } else {
            Source.Clear();
        }
    } else {
        if (n > 0) std::memcpy(to, from, static_cast<std::size_t>(n));
        Source.Clear();
    }
    size_ = position_ = at + n;
    return copied;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
    if (NewSize < 0) throw EStreamError("Stream write error");
    Reserve(NewSize);
    size_ = NewSize;
    if (position_ > size_) position_ = size_;
}

void TMemoryStream::Clear() {
    if (mapped_)
        ::munmap(base_, mapLength_);
    else
        std::free(data_);
    Forget();
}

void TMemoryStream::Forget() {
    data_ = base_ = nullptr;
    mapLength_ = 0;
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
