// Encoder throughput as the mail uses it: a file stream read 45 bytes at a time, encoded into
// a buffered stream over a memory stream, then rewound.
//   bench_encoder FILE [ROUNDS] [--out ENCODED]
// Two figures: a fresh memory stream each round, as for every attachment (its pages are new
// and the kernel has to fault them in), and one memory stream reused across rounds, which
// leaves the cost of the file stream, the encoder and the buffered stream alone; then the
// latter again with each slower base64 kernel this processor has.
#include "codec/Nms_stream.h"
#include "codec/Nmuue.h"
#include "platform/Exceptions.h"
#include "platform/FileStream.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace quillo;

namespace {

// Encodes the file into Memory at its start; returns the seconds taken.
double EncodeOnce(const std::string& Path, TMemoryStream& Memory) {
    const auto t0 = std::chrono::steady_clock::now();
    TFileStream source(Path, fmOpenRead);
    TS_BufferStream target(Memory);
    TNMUUProcessor encoder(nullptr);
    encoder.SourceStream = &source;
    encoder.TargetStream = &target;
    encoder.Encode();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Report(const char* What, std::int64_t In, int Rounds, double Best) {
    std::printf("%-52s best of %d: %.3f s, %5.0f MB/s\n", What, Rounds, Best,
                static_cast<double>(In) / Best / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [ROUNDS] [--out ENCODED]\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    int rounds = 5;
    std::string out;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            out = argv[++i];
        else
            rounds = std::max(1, std::atoi(argv[i]));
    }
    try {
        const std::int64_t in = TFileStream(path, fmOpenRead).GetSize();
        double fresh = 1e9;
        for (int r = 0; r < rounds; ++r) {
            TMemoryStream memory;
            fresh = std::min(fresh, EncodeOnce(path, memory));
            if (r == 0 && !out.empty())
                std::ofstream(out, std::ios::binary)
                    .write(memory.Memory(), static_cast<std::streamsize>(memory.Size()));
        }
        TMemoryStream reused;
        EncodeOnce(path, reused); // touches every page once
        double warm = 1e9;
        for (int r = 0; r < rounds; ++r) {
            reused.SetPosition(0);
            warm = std::min(warm, EncodeOnce(path, reused));
        }
        Report("encoder, fresh memory stream (as for each mail):", in, rounds, fresh);
        Report("encoder, reused memory stream (no page faults):", in, rounds, warm);
        // What the instruction-set kernels buy: the same, with each slower kernel in turn.
        const TMimeKernel best = MimeKernel;
        for (TMimeKernel k : {mkSsse3, mkPortable}) {
            if (k >= best) continue;
            MimeKernel = k;
            double t = 1e9;
            for (int r = 0; r < rounds; ++r) {
                reused.SetPosition(0);
                t = std::min(t, EncodeOnce(path, reused));
            }
            Report(k == mkSsse3 ? "  the same with the SSSE3 kernel instead of AVX2:"
                                : "  the same with the portable kernel:",
                   in, rounds, t);
        }
        MimeKernel = best;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
