// The process-wide pseudo-random generator of the runtime: a linear congruential generator
// whose 32-bit state starts at 0 and is never seeded by the program, so its sequence is the
// same in every run.
#pragma once

#include <cstdint>

namespace quillo {

// Advances the state (state * 134775813 + 1, modulo 2^32) and returns a number from 0 to
// Range - 1: the upper 32 bits of state * Range. A Range of 0 or less gives 0.
int Random(int Range);

std::uint32_t RandSeed();
void SetRandSeed(std::uint32_t Seed);
// Back to the state at program start (for tests).
inline void ResetRandom() {
    SetRandSeed(0);
}

} // namespace quillo
