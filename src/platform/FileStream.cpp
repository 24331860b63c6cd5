#include "platform/FileStream.h"

#include "platform/CodePage.h"
#include "platform/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo {

namespace {

// The program's own texts are UTF-8; the path is already in the code page and goes in as is.
std::string FileMessage(std::string_view Utf8Template, const std::string& Path) {
    std::string text = FromUtf8(Utf8Template);
    const auto at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, Path);
    return text;
}

} // namespace

TFileStream::TFileStream(const std::string& FileName, std::uint16_t Mode) : FFileName(FileName) {
    const bool create = Mode == fmCreate;
    int flags = O_CLOEXEC | O_NOCTTY;
    if (create)
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    else if ((Mode & 3) == fmOpenWrite)
        flags |= O_WRONLY;
    else if ((Mode & 3) == fmOpenReadWrite)
        flags |= O_RDWR;
    else
        flags |= O_RDONLY;

    auto fail = [&]() {
        throw EFOpenError(create ? FileMessage("ファイル %s を作成できません", FileName)
                                 : FileMessage("ファイル %s は開けません", FileName));
    };
    if (FileName.empty() || FileName.find('\0') != std::string::npos) fail();
    // Non-blocking only while opening, so a FIFO without a writer cannot hang the program.
    int fd;
    do
        fd = ::open(FileName.c_str(), flags | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) fail();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        fail(); // a directory exists but is no file to read
    }
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    FHandle = fd;
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

std::int64_t TFileStream::FileSize() const {
    struct stat st {};
    if (::fstat(FHandle, &st) != 0) throw EStreamError("Stream read error");
    return static_cast<std::int64_t>(st.st_size);
}

std::int32_t TFileStream::Read(void* Buffer, std::int32_t Count) {
    auto* out = static_cast<char*>(Buffer);
    std::int32_t total = 0;
    while (Count > 0) {
        if (FPosition >= FAheadStart && FPosition < FAheadStart + FAheadLen) {
            const auto off = static_cast<std::int32_t>(FPosition - FAheadStart);
            const std::int32_t n = std::min(Count, FAheadLen - off);
            std::memcpy(out, FAhead.get() + off, static_cast<std::size_t>(n));
            out += n;
            Count -= n;
            total += n;
            FPosition += n;
            continue;
        }
        // A large request goes straight to the caller's memory; a small one fills a block.
        const bool direct = Count >= ReadAheadSize;
        if (!direct && !FAhead) FAhead = std::make_unique<char[]>(ReadAheadSize);
        char* into = direct ? out : FAhead.get();
        const std::size_t want = static_cast<std::size_t>(direct ? Count : ReadAheadSize);
        ssize_t r;
        do
            r = ::pread(FHandle, into, want, static_cast<off_t>(FPosition));
        while (r < 0 && errno == EINTR);
        if (r < 0) throw EStreamError("Stream read error");
        if (r == 0) break;
        if (direct) {
            out += r;
            Count -= static_cast<std::int32_t>(r);
            total += static_cast<std::int32_t>(r);
            FPosition += r;
        } else {
            FAheadStart = FPosition;
            FAheadLen = static_cast<std::int32_t>(r);
        }
    }
    return total;
}

std::int32_t TFileStream::Write(const void* Buffer, std::int32_t Count) {
    if (Count <= 0) return 0;
    FAheadLen = 0; // the read-ahead may hold the old bytes
    const auto* in = static_cast<const char*>(Buffer);
    std::int32_t total = 0;
    while (total < Count) {
        const ssize_t r = ::pwrite(FHandle, in + total, static_cast<std::size_t>(Count - total),
                                   static_cast<off_t>(FPosition));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) throw EStreamError("Stream write error");
        total += static_cast<std::int32_t>(r);
        FPosition += r;
    }
    return total;
}

std::int64_t TFileStream::Seek(std::int64_t Offset, std::uint16_t Origin) {
    switch (Origin) {
    case soFromBeginning:
        FPosition = Offset;
        break;
    case soFromCurrent:
        FPosition += Offset;
        break;
    case soFromEnd:
        FPosition = FileSize() + Offset;
        break;
    default:
        break;
    }
    if (FPosition < 0) FPosition = 0;
    return FPosition;
}

void TFileStream::SetSize(std::int64_t NewSize) {
    FAheadLen = 0;
    if (NewSize < 0 || ::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0)
        throw EStreamError("Stream write error");
    if (FPosition > NewSize) FPosition = NewSize;
}

} // namespace quillo
