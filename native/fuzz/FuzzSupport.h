// Shared by the fuzz targets and the seed writer: the process pair the
// simulated pipe runs between, the client's check of a handshake body on it,
// and frame construction (the format tests' own builders).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "support/Frames.h"

namespace fuzzsupport {

using testsupport::Frame;
using testsupport::kPids;
using testsupport::Tag;
using testsupport::Verifier;

// A broken invariant: libFuzzer reports the abort as a finding.
inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

// The salt of the client's own handshake body, which an answer must not carry.
constexpr uint8_t kSentSalt[ipc::handshake::kSaltSize] = {0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C,
                                                          0x5C, 0x5C, 0x5C, 0x5C, 0x5C, 0x5C};

}  // namespace fuzzsupport
