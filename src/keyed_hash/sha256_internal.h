// SHA-256 compression with the x86 SHA extensions. Internal to keyed_hash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon_hash::internal {

// True when the CPU has SHA, SSSE3 and SSE4.1; checked once.
bool cpu_has_sha_extensions();

// Runs the compression function over `blocks` 64-byte blocks of `data`,
// updating the eight chaining values in `state`. Only call when
// cpu_has_sha_extensions() is true.
void sha256_compress_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks);

// One block for each of two independent states, interleaved: sha256rnds2
// has several cycles of latency, and two chains keep the unit busy.
void sha256_compress_shani_x2(std::uint32_t state_a[8], const std::uint8_t* block_a,
                              std::uint32_t state_b[8], const std::uint8_t* block_b);

}  // namespace quillon_hash::internal
