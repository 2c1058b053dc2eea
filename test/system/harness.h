// Whole-program test harness: each test runs the real binaries inside a private network and
// mount namespace of its own (the runner), and plays their peers from the test process.
#pragma once

#include <gtest/gtest.h>

#include <random>

#include "bson_writer.h"
#include "runner.h"
#include "udp_peer.h"

namespace systest {

using namespace testbson;

// Base fixture of every whole-program test: enters the namespaces or skips with the reason.
class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string reason = enterPrivateNamespaces();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
};

// `size` bytes of noise.
inline Bytes randomBytes(size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

}  // namespace systest
