// A stream over a file on disk. Reads are served from a read-ahead block, so reading a few
// bytes at a time costs no system call each; Read and Seek behave as on a plain stream.
#pragma once

#include "platform/Streams.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quillo {

enum : std::uint16_t {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFF00, // create or truncate, then read and write
};

class TFileStream : public TStream {
public:
    // A file that cannot be opened (missing, a directory, no permission) raises EFOpenError
    // "ファイル <path> は開けません" in the system code page; fmCreate failing raises
    // EFOpenError "ファイル <path> を作成できません".
    TFileStream(const std::string& FileName, std::uint16_t Mode);
    ~TFileStream() override;

    std::int32_t Read(void* Buffer, std::int32_t Count) override;
    std::int32_t Write(const void* Buffer, std::int32_t Count) override;
    std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) override;
    void SetSize(std::int64_t NewSize) override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

    // Size of the read-ahead block.
    static constexpr std::int32_t ReadAheadSize = 1 << 16;

private:
    std::int64_t FileSize() const;

    std::string FFileName;
    int FHandle = -1;
    std::int64_t FPosition = 0;
    std::unique_ptr<char[]> FAhead;
    std::int64_t FAheadStart = 0; // file offset of FAhead[0]
    std::int32_t FAheadLen = 0;   // valid bytes in FAhead
};

} // namespace quillo
