#include "platform/Random.h"

#include <gtest/gtest.h>
#include <string>

using namespace quillo;

namespace {
std::string SixLetters() {
    std::string s;
    for (int i = 0; i < 6; ++i)
        s += static_cast<char>('a' + Random(25));
    return s;
}
} // namespace

TEST(Random, UnseededSequenceIsTheRuntimes) {
    ResetRandom();
    EXPECT_EQ(SixLetters(), "aavfgq");
    EXPECT_EQ(SixLetters(), "hejkcl");
    ResetRandom();
    EXPECT_EQ(SixLetters(), "aavfgq");
}

TEST(Random, StateStepAndRange) {
    SetRandSeed(0);
    EXPECT_EQ(Random(1000), 0);
    EXPECT_EQ(RandSeed(), 1u);
    EXPECT_EQ(Random(1 << 30), static_cast<int>((134775814ull << 30) >> 32));
    EXPECT_EQ(RandSeed(), 134775814u);
    SetRandSeed(0xFFFFFFFFu);
    EXPECT_EQ(Random(0), 0);
    EXPECT_EQ(RandSeed(), 0xFFFFFFFFu * 134775813u + 1u) << "wraps modulo 2^32";
    for (int i = 0; i < 1000; ++i) {
        const int r = Random(25);
        ASSERT_GE(r, 0);
        ASSERT_LT(r, 25);
    }
    ResetRandom();
}
