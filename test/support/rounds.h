// Test support: the seed and count of a randomised test's rounds, which the environment can
// override: <PREFIX>_SEED=<seed> <PREFIX>_ROUNDS=1 reruns the one input that failed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

struct Rounds {
    uint32_t seed;
    uint32_t count;
};

inline Rounds roundsFor(const std::string& prefix, uint32_t seed, uint32_t count) {
    auto envOr = [](const std::string& name, uint32_t fallback) {
        const char* value = std::getenv(name.c_str());
        return value != nullptr && *value != '\0' ? uint32_t(std::strtoul(value, nullptr, 10))
                                                  : fallback;
    };
    return {envOr(prefix + "_SEED", seed), envOr(prefix + "_ROUNDS", count)};
}
