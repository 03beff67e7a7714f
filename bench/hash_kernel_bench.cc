// Keyed-hash kernels against the bound of the SHA-256 unit, one thread.
//
//   openssl_one_shot_tokens_per_s   OpenSSL's one-shot HMAC per value (baseline)
//   sha_bound_tokens_per_s          independent single-block compressions at
//                                   the widest interleave that pays, / 2 (a
//                                   short token is two compressions)
//   <kernel>_{short,100b}_tokens_per_s  hex_digest_many per forced kernel, on
//                                   1,000,000 "user123@example.com" values and
//                                   on 100-byte values, "<pos>:" heads
//   avx2_over_portable_*            the AVX2 kernel over OpenSSL's prepared
//                                   contexts (Kernel::Portable)
//   kernel_fraction_of_bound        best kernel, short values, over the bound
//   hash_kernel_ratio (last)        best kernel over the baseline
//
// The heads are formatted before timing: this measures the kernel, not the
// caller's position digits.
//
// `hash_kernel_bench --profile <kernel> [rows] [short|100b]` runs one kernel
// loop once, for callgrind.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keyed_hash/hmac.h"
#include "keyed_hash/sha256_internal.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillon_hash::Kernel;
using quillon_hash::Message;
using quillon_hash::PreparedKey;

template <typename F>
double best_rate(std::size_t n, int reps, F&& run) {
  double best = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const auto t0 = Clock::now();
    run();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::max(best, static_cast<double>(n) / s);
  }
  return best;
}

// Values, "<pos>:" heads and output slots for `rows` rows.
struct Workload {
  std::vector<std::string> values;
  std::vector<char> head_bytes;
  std::vector<Message> msgs;
  std::vector<char> out_bytes;
  std::vector<char*> outs;

  Workload(std::size_t rows, std::size_t value_size) {
    values.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      std::string v = "user" + std::to_string(i % 100000) + "@example.com";
      if (value_size > v.size()) v.append(value_size - v.size(), 'x');
      values.push_back(std::move(v));
    }
    head_bytes.resize(rows * 21);
    msgs.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      char* h = head_bytes.data() + 21 * i;
      const int len = std::snprintf(h, 21, "%zu:", i);
      msgs[i] = {std::string_view(h, static_cast<std::size_t>(len)), values[i]};
    }
    out_bytes.resize(rows * quillon_hash::kHexDigestLength);
    outs.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      outs[i] = out_bytes.data() + i * quillon_hash::kHexDigestLength;
    }
  }

  // Batches of 1024 rows, as a transform hands over a slice of a column.
  bool run(const PreparedKey& key) const {
    bool ok = true;
    for (std::size_t i = 0; i < msgs.size(); i += 1024) {
      const std::size_t n = std::min<std::size_t>(1024, msgs.size() - i);
      ok &= key.hex_digest_many(msgs.data() + i, n, outs.data() + i);
    }
    return ok;
  }
};

// Single-block compressions per second: `lanes` independent chains, each
// fed its own previous state.
template <typename Compress>
double compression_rate(std::size_t lanes, Compress&& compress) {
  constexpr std::size_t kCompressions = 2000000;
  std::vector<std::uint32_t> states(8 * lanes);
  std::vector<std::uint8_t> blocks(64 * lanes);
  std::vector<std::uint32_t*> state_ptrs(lanes);
  std::vector<const std::uint8_t*> block_ptrs(lanes);
  for (std::size_t i = 0; i < lanes; ++i) {
    for (std::size_t w = 0; w < 8; ++w) states[8 * i + w] = static_cast<std::uint32_t>(i * 8 + w);
    for (std::size_t b = 0; b < 64; ++b) blocks[64 * i + b] = static_cast<std::uint8_t>(i + b);
    state_ptrs[i] = &states[8 * i];
    block_ptrs[i] = &blocks[64 * i];
  }
  const double calls = best_rate(kCompressions / lanes, 3, [&] {
    for (std::size_t c = 0; c < kCompressions / lanes; ++c) compress(state_ptrs.data(), block_ptrs.data());
  });
  return calls * static_cast<double>(lanes);
}

const Kernel kKernels[] = {Kernel::Portable, Kernel::ShaNi, Kernel::Avx2};

int profile(int argc, char** argv) {
  const std::string name = argv[2];
  const std::size_t rows = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200000;
  const bool long_values = argc > 4 && std::string(argv[4]) == "100b";
  for (Kernel k : kKernels) {
    if (name != quillon_hash::kernel_name(k) || !quillon_hash::kernel_available(k)) continue;
    const Workload work(rows, long_values ? 100 : 0);
    const PreparedKey key("benchmark-key", k);
    return work.run(key) ? 0 : 1;
  }
  std::fprintf(stderr, "no available kernel named %s\n", name.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--profile") return profile(argc, argv);

  constexpr std::size_t kRows = 1000000;
  const std::string key = "benchmark-key";
  const Workload short_work(kRows, 0);
  const Workload long_work(kRows, 100);

  std::size_t sink = 0;
  const double baseline = best_rate(kRows, 3, [&] {
    for (std::size_t i = 0; i < kRows; ++i) {
      sink += quillon_hash::hmac_sha256(key, std::to_string(i) + ":" + short_work.values[i])
                  .value()[0];
    }
  });
  std::printf("openssl_one_shot_tokens_per_s=%.0f\n", baseline);

  // The bound: the widest interleave that pays on whichever unit is here.
  double best_compressions = 0;
  {
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    const double r = compression_rate(1, [&](std::uint32_t* const*, const std::uint8_t* const* b) {
      SHA256_Transform(&ctx, b[0]);
    });
    std::printf("openssl_compressions_per_s=%.0f\n", r);
    best_compressions = r;
  }
#ifdef QM_X86_KERNELS
  if (quillon_hash::kernel_available(Kernel::ShaNi)) {
    for (std::size_t lanes = 1; lanes <= 4; ++lanes) {
      const double r = compression_rate(lanes, [&](std::uint32_t* const* s, const std::uint8_t* const* b) {
        quillon_hash::internal::shani_compress_lanes(lanes, s, b);
      });
      std::printf("sha_ni_x%zu_compressions_per_s=%.0f\n", lanes, r);
      best_compressions = std::max(best_compressions, r);
    }
  }
  if (quillon_hash::kernel_available(Kernel::Avx2)) {
    const double r = compression_rate(8, [&](std::uint32_t* const* s, const std::uint8_t* const* b) {
      quillon_hash::internal::avx2_compress8(s, b);
    });
    std::printf("avx2_x8_compressions_per_s=%.0f\n", r);
    best_compressions = std::max(best_compressions, r);
  }
#endif
  const double bound = best_compressions / 2;
  std::printf("sha_bound_tokens_per_s=%.0f\n", bound);

  double short_rate[3] = {}, long_rate[3] = {};
  double best = 0;
  for (Kernel k : kKernels) {
    if (!quillon_hash::kernel_available(k)) continue;
    const PreparedKey prepared(key, k);
    const auto i = static_cast<std::size_t>(k);
    short_rate[i] = best_rate(kRows, 5, [&] { sink += short_work.run(prepared); });
    long_rate[i] = best_rate(kRows, 3, [&] { sink += long_work.run(prepared); });
    sink += static_cast<unsigned char>(short_work.out_bytes[0]) +
            static_cast<unsigned char>(long_work.out_bytes[0]);
    std::printf("%s_lanes=%zu\n", quillon_hash::kernel_name(k), prepared.lanes());
    std::printf("%s_short_tokens_per_s=%.0f\n", quillon_hash::kernel_name(k), short_rate[i]);
    std::printf("%s_100b_tokens_per_s=%.0f\n", quillon_hash::kernel_name(k), long_rate[i]);
    best = std::max(best, short_rate[i]);
  }
  const auto portable = static_cast<std::size_t>(Kernel::Portable);
  const auto avx2 = static_cast<std::size_t>(Kernel::Avx2);
  if (short_rate[avx2] > 0) {
    std::printf("avx2_over_portable_short=%.2f\n", short_rate[avx2] / short_rate[portable]);
    std::printf("avx2_over_portable_100b=%.2f\n", long_rate[avx2] / long_rate[portable]);
  }
  std::fprintf(stderr, "(checksum %zu)\n", sink);
  std::printf("kernel_fraction_of_bound=%.3f\n", best / bound);
  std::printf("hash_kernel_ratio=%.2f\n", best / baseline);
  return 0;
}
