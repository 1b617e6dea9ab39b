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
using testsupport::kSentSalt;
using testsupport::Tag;
using testsupport::Verifier;

// A broken invariant: libFuzzer reports the abort as a finding.
inline void Require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace fuzzsupport
