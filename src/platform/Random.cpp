#include "platform/Random.h"

namespace quillo {

namespace {
// Never seeded by the program: every run draws the same sequence.
std::uint32_t gRandSeed = 0;
} // namespace

int Random(int Range) {
    gRandSeed = gRandSeed * 134775813u + 1u;
    if (Range <= 0) return 0;
    const std::uint64_t product =
        static_cast<std::uint64_t>(gRandSeed) * static_cast<std::uint32_t>(Range);
    return static_cast<int>(product >> 32);
}

std::uint32_t RandSeed() {
    return gRandSeed;
}

void SetRandSeed(std::uint32_t Seed) {
    gRandSeed = Seed;
}

} // namespace quillo
