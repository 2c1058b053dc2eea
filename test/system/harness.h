// Whole-program test harness: each test runs the real binaries inside a private network and
// mount namespace of its own (the runner), and plays their peers from the test process.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>

#include <cerrno>
#include <cstring>

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
        setUpInside();
    }
    // What a fixture sets up once inside the namespaces.
    virtual void setUpInside() {}
};

// `size` random bytes that are no document: from five bytes on, odd sizes carry their own size
// as prefix and end in no terminator, the others a prefix beyond any size.
inline Bytes noDocument(size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    if (size >= 5 && size % 2 == 1) {
        setLengthPrefix(bytes, static_cast<uint32_t>(size));
        bytes.back() = 0xFF;
    } else if (size >= 4) {
        bytes[3] |= 0x80;
    }
    return bytes;
}

// Whether `bytes` is framed as one whole document: its prefix counts them, the last ends it.
inline bool framedWhole(const Bytes& bytes) {
    return bytes.size() >= 5 && lengthPrefix(bytes) == bytes.size() && bytes.back() == 0;
}

// `doc` grown to exactly `size` bytes where it can be, else it (or it grown by one byte more) cut
// to `size`, so that the prefix of a cut document always claims more than is there.
inline Bytes grownOrCut(const Bytes& doc, size_t size) {
    if (auto grown = grownDocument(doc, size)) {
        return *grown;
    }
    Bytes whole = grownDocument(doc, size + 1).value_or(doc);
    return Bytes(whole.begin(), whole.begin() + static_cast<long>(size));
}

// Moves this test into a network namespace of its own whose loopback is down, so that there is
// no route to 127.0.0.1 and connecting fails.
inline void noRouteToCid() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
}

// How often `piece` stands in `text`, overlaps counted.
inline size_t occurrences(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace systest
