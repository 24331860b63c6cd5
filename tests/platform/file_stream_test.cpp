#include "platform/CodePage.h"
#include "platform/Exceptions.h"
#include "platform/FileStream.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace quillo;

namespace {

class FileStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSystemCodePage("UTF-8");
        char tmpl[] = "/tmp/quillo-fs-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string Make(const std::string& name, const std::string& bytes) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string Pattern(std::size_t n) {
        std::string s(n, '\0');
        std::uint32_t x = 12345;
        for (auto& c : s) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 24);
        }
        return s;
    }
    static std::string OpenFailure(const std::string& path) {
        try {
            TFileStream f(path, fmOpenRead);
        } catch (const EFOpenError& e) {
            return e.Message();
        }
        return "opened";
    }

    std::string dir;
};

} // namespace

TEST_F(FileStreamTest, ReadingInPiecesGivesTheFile) {
    const std::string data = Pattern(200000);
    const std::string path = Make("data.bin", data);
    for (std::int32_t piece : {1, 7, 45, 65535, 65536, 100000, 300000}) {
        SCOPED_TRACE(piece);
        TFileStream f(path, fmOpenRead);
        EXPECT_EQ(f.GetSize(), 200000);
        std::string got;
        std::string buf(static_cast<std::size_t>(piece), '\0');
        std::int32_t n;
        while ((n = f.Read(buf.data(), piece)) > 0)
            got.append(buf, 0, static_cast<std::size_t>(n));
        EXPECT_EQ(got, data);
        EXPECT_EQ(f.GetPosition(), 200000);
        EXPECT_EQ(f.Read(buf.data(), 1), 0);
    }
}

TEST_F(FileStreamTest, SeeksInsideAndOutsideTheReadAhead) {
    const std::string data = Pattern(150000);
    TFileStream f(Make("data.bin", data), fmOpenRead);
    struct Step {
        std::int64_t offset;
        std::uint16_t origin;
        std::int64_t expected;
    } steps[] = {
        {10, soFromBeginning, 10}, {5, soFromCurrent, 60},          {-40, soFromCurrent, 65},
        {-10, soFromEnd, 149990},  {70000, soFromBeginning, 70000}, {-100, soFromBeginning, 0},
        {0, soFromEnd, 150000},    {65530, soFromBeginning, 65530},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.expected);
        EXPECT_EQ(f.Seek(s.offset, s.origin), s.expected);
        char buf[45];
        const std::int32_t n = f.Read(buf, 45);
        const auto at = static_cast<std::size_t>(s.expected);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), data.substr(at, 45));
    }
}

TEST_F(FileStreamTest, OpenFailuresNameThePath) {
    const std::string missing = dir + "/no such file.txt";
    EXPECT_EQ(OpenFailure(missing), "ファイル " + missing + " は開けません");
    EXPECT_EQ(OpenFailure(dir), "ファイル " + dir + " は開けません") << "a directory is no file";
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    { // opening a FIFO with no writer must not hang
        TFileStream f(fifo, fmOpenRead);
        EXPECT_EQ(f.GetSize(), 0);
    }
    try {
        TFileStream f(dir + "/missing/new.txt", fmCreate);
        ADD_FAILURE() << "created";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "ファイル " + dir + "/missing/new.txt を作成できません");
    }
}

TEST_F(FileStreamTest, OpenFailureMessageIsInTheCodePage) {
    SetSystemCodePage("Shift_JIS");
    const std::string missing = dir + "/x";
    EXPECT_EQ(OpenFailure(missing), FromUtf8("ファイル ") + missing + FromUtf8(" は開けません"));
    EXPECT_NE(OpenFailure(missing).substr(0, 3), std::string("ファ").substr(0, 3));
    SetSystemCodePage("UTF-8");
}

TEST_F(FileStreamTest, CreateWriteAndReadBack) {
    const std::string path = dir + "/out.bin";
    {
        TFileStream f(path, fmCreate);
        EXPECT_EQ(f.Write("0123456789", 10), 10);
        f.SetPosition(0);
        char buf[4];
        ASSERT_EQ(f.Read(buf, 4), 4);
        // A write after a read lands at the position and is seen by the next read.
        f.Write("AB", 2);
        f.SetPosition(4);
        ASSERT_EQ(f.Read(buf, 4), 4);
        EXPECT_EQ(std::string(buf, 4), "AB67");
        f.SetSize(8);
        EXPECT_EQ(f.GetSize(), 8);
        EXPECT_EQ(f.GetPosition(), 8);
    }
    TFileStream r(path, fmOpenRead);
    char all[16];
    EXPECT_EQ(std::string(all, static_cast<std::size_t>(r.Read(all, 16))), "0123AB67");
    EXPECT_THROW(r.Write("x", 1), EStreamError);
}
