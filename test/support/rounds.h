// Test support: the seeded rounds of a randomised test. <PREFIX>_SEED and <PREFIX>_ROUNDS in the
// environment override the first seed and the count: PREFIX_SEED=<seed> PREFIX_ROUNDS=1 reruns
// the one input that failed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// Runs `round(seed)` for each seed in turn, every failure naming its seed, until one fails;
// returns how many rounds were asked for.
template <typename Round>
uint32_t forEachSeed(const std::string& prefix, uint32_t seed, uint32_t count, Round round) {
    auto envOr = [](const std::string& name, uint32_t fallback) {
        const char* value = std::getenv(name.c_str());
        return value != nullptr && *value != '\0' ? uint32_t(std::strtoul(value, nullptr, 10))
                                                  : fallback;
    };
    seed = envOr(prefix + "_SEED", seed);
    count = envOr(prefix + "_ROUNDS", count);
    for (uint32_t i = 0; i < count && !testing::Test::HasFailure(); ++i) {
        SCOPED_TRACE("seed " + std::to_string(seed + i));
        round(seed + i);
    }
    return count;
}
