// Which vector forms the preprocessing loops use: the widest the processor
// has (SSE2, the x86-64 baseline, or AVX2), checked once, optionally
// lowered by capVectorLevel so that tests can run every form on one
// machine. All forms give bit-identical results.
//
// Thread-safe; a cap applies to passes that start after it is set.
#pragma once

namespace qz::vms_server_plugins::analytics::qzai {

enum class VectorLevel { Baseline = 0, Avx2 = 1 };

VectorLevel vectorLevel();

// Uses at most `cap` from now on; VectorLevel::Avx2 lifts the cap.
void capVectorLevel(VectorLevel cap);

inline bool avx2Enabled() { return vectorLevel() >= VectorLevel::Avx2; }

}  // namespace qz::vms_server_plugins::analytics::qzai
