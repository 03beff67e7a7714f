// Keyed-hash kernels against the bound of the SHA-256 unit, one thread.
//
//   openssl_one_shot_tokens_per_s   OpenSSL's one-shot HMAC per value, on
//                                   "<pos>:value" composed per call (baseline)
//   *_compressions_per_s            independent chains of single-block
//                                   compressions, state kept in registers
//   portable_over_openssl_compressions  our plain C++ compression over
//                                   OpenSSL's (run with OPENSSL_ia32cap
//                                   masking SHA-NI to compare with the code
//                                   OpenSSL runs on CPUs without it)
//   sha_bound_tokens_per_s          the best of those (the widest interleave
//                                   that pays) / 2: a short token is two
//   <kernel>_{short,100b}_tokens_per_s  hex_digests per forced kernel, on
//                                   1,000,000 "user123@example.com" values and
//                                   on 100-byte values, "<pos>:" heads
//   avx2_over_portable_*            the AVX2 kernel over the plain C++ one
//                                   (Kernel::Portable)
//   apply_hash_{short,100b}_tokens_per_s  apply(Hash) over a Utf8 column of the
//                                   same values: position digits, reading the
//                                   column, output buffers and all; each timed
//                                   call follows an untimed one, as batches
//                                   of a stream do (its output memory is the
//                                   previous call's, through the buffer cache)
//   apply_hash_short_cold_tokens_per_s  the same with no call before it
//   best_kernel_short_over_bound    the fastest kernel alone over the bound
//   apply_hash_100b_over_kernel_100b  apply(Hash), 100-byte values, over the
//                                   fastest kernel alone on them
//   apply_hash_<layout>_tokens_per_s  apply_any(Hash) over the short values as
//                                   string (Utf8), large_string, string_view
//                                   and dictionary (int32 indices over Utf8)
//   <layout>_over_string            each of those over string's, same run
//   kernel_fraction_of_bound        apply(Hash), short values, over the bound
//   hash_kernel_ratio (last)        apply(Hash), short values, over the baseline
//
// The kernels' own lines take heads formatted before timing: they measure
// the kernel alone, not the caller's position digits.
//
// `hash_kernel_bench --profile <kernel> [rows] [short|100b]` runs one kernel
// loop once, for callgrind.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arrow_c/buffer_cache.h"
#include "keyed_hash/hmac.h"
#include "keyed_hash/sha256_internal.h"
#include "mask_engine/transform.h"
#include "measurements.h"
#include "utf8_column.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

using bench::Clock;
using bench::Measurements;
using bench::seconds;
using keyed_hash::Kernel;
using keyed_hash::Message;
using keyed_hash::PreparedKey;

// Values, "<pos>:" heads and output slots for `rows` rows. Values sit back
// to back in one buffer, as in a string column's data buffer.
struct Workload {
  std::vector<std::string> values;
  std::vector<char> value_bytes;
  std::vector<char> head_bytes;
  std::vector<Message> msgs;
  std::vector<char> out_bytes;
  std::vector<char*> outs;

  Workload(std::size_t rows, std::size_t value_size) {
    values.reserve(rows);
    std::size_t total = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      std::string v = "user" + std::to_string(i % 100000) + "@example.com";
      if (value_size > v.size()) v.append(value_size - v.size(), 'x');
      total += v.size();
      values.push_back(std::move(v));
    }
    value_bytes.reserve(total);
    for (const auto& v : values) value_bytes.insert(value_bytes.end(), v.begin(), v.end());
    head_bytes.resize(rows * 21);
    msgs.resize(rows);
    std::size_t at = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      char* h = head_bytes.data() + 21 * i;
      const int len = std::snprintf(h, 21, "%zu:", i);
      msgs[i] = {std::string_view(h, static_cast<std::size_t>(len)),
                 std::string_view(value_bytes.data() + at, values[i].size())};
      at += values[i].size();
    }
    out_bytes.resize(rows * keyed_hash::kHexDigestLength);
    outs.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      outs[i] = out_bytes.data() + i * keyed_hash::kHexDigestLength;
    }
  }

  // Batches of 1024 rows, as a transform hands over a slice of a column.
  void run(const PreparedKey& key) const {
    for (std::size_t i = 0; i < msgs.size(); i += 1024) {
      const std::size_t n = std::min<std::size_t>(1024, msgs.size() - i);
      keyed_hash::MessageList list(msgs.data() + i, n, outs.data() + i);
      key.hex_digests(list.source());
    }
  }
};

// Independent chains of single-block compressions, each chain fed its own
// previous state, over 64 different blocks (4 KiB, in L1) taken in turn.
struct Chains {
  static constexpr std::size_t kBlocks = 64;
  std::vector<std::uint32_t> states;
  std::vector<std::uint32_t*> state_ptrs;
  alignas(64) std::uint8_t blocks[kBlocks * 64];

  explicit Chains(std::size_t lanes) : states(8 * lanes), state_ptrs(lanes) {
    for (std::size_t i = 0; i < lanes; ++i) {
      for (std::size_t w = 0; w < 8; ++w) states[8 * i + w] = static_cast<std::uint32_t>(i * 8 + w);
      state_ptrs[i] = &states[8 * i];
    }
    for (std::size_t b = 0; b < sizeof(blocks); ++b) blocks[b] = static_cast<std::uint8_t>(b * 131 + 7);
  }
};

constexpr std::size_t kCompressions = 1 << 21;

const Kernel kKernels[] = {Kernel::Portable, Kernel::ShaNi, Kernel::Avx2};

int profile(int argc, char** argv) {
  const std::string name = argv[2];
  const std::size_t rows = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200000;
  const bool long_values = argc > 4 && std::string(argv[4]) == "100b";
  for (Kernel k : kKernels) {
    if (name != keyed_hash::kernel_name(k) || !keyed_hash::kernel_available(k)) continue;
    const Workload work(rows, long_values ? 100 : 0);
    const PreparedKey key("benchmark-key", k);
    work.run(key);
    return 0;
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
  Measurements m;
  const std::size_t baseline = m.add("openssl_one_shot_tokens_per_s", kRows / 4, [&] {
    unsigned char tag[EVP_MAX_MD_SIZE];
    unsigned int tag_len = 0;
    for (std::size_t i = 0; i < kRows / 4; ++i) {
      const std::string data = std::to_string(i) + ":" + short_work.values[i];
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), tag, &tag_len);
      sink += tag[0];
    }
  });

  // The bound: the widest interleave that pays on whichever unit is here.
  std::vector<std::size_t> bound_entries;
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  std::vector<std::unique_ptr<Chains>> chains;
  chains.push_back(std::make_unique<Chains>(1));
  const Chains& one = *chains.back();
  const std::size_t openssl_compressions =
      m.add("openssl_compressions_per_s", kCompressions, [&] {
        for (std::size_t c = 0; c < kCompressions; ++c) {
          SHA256_Transform(&ctx, one.blocks + 64 * (c % Chains::kBlocks));
        }
      });
  bound_entries.push_back(openssl_compressions);
  std::uint32_t portable_state[8] = {};
  const std::size_t portable_compressions =
      m.add("portable_compressions_per_s", kCompressions, [&] {
        for (std::size_t c = 0; c < kCompressions; ++c) {
          keyed_hash::internal::compress(portable_state, one.blocks + 64 * (c % Chains::kBlocks));
        }
      });
#ifdef QM_X86_KERNELS
  if (keyed_hash::kernel_available(Kernel::ShaNi)) {
    for (std::size_t lanes = 1; lanes <= 4; ++lanes) {
      chains.push_back(std::make_unique<Chains>(lanes));
      Chains& c = *chains.back();
      bound_entries.push_back(
          m.add("sha_ni_x" + std::to_string(lanes) + "_compressions_per_s",
                static_cast<double>(kCompressions / lanes * lanes), [&c, lanes] {
                  keyed_hash::internal::shani_compress_chains(
                      lanes, c.state_ptrs.data(), c.blocks, Chains::kBlocks, kCompressions / lanes);
                }));
    }
  }
  if (keyed_hash::kernel_available(Kernel::Avx2)) {
    chains.push_back(std::make_unique<Chains>(8));
    Chains& c = *chains.back();
    bound_entries.push_back(m.add("avx2_x8_compressions_per_s", kCompressions, [&c] {
      keyed_hash::internal::avx2_compress_chains(c.state_ptrs.data(), c.blocks, Chains::kBlocks,
                                                   kCompressions / 8);
    }));
  }
#endif

  struct PerKernel {
    Kernel kernel;
    std::unique_ptr<PreparedKey> key;
    std::size_t short_entry, long_entry;
  };
  std::vector<PerKernel> kernels;
  for (Kernel k : kKernels) {
    if (!keyed_hash::kernel_available(k)) continue;
    auto prepared = std::make_unique<PreparedKey>(key, k);
    const PreparedKey* p = prepared.get();
    const std::string name = keyed_hash::kernel_name(k);
    const std::size_t s = m.add(name + "_short_tokens_per_s", kRows,
                                [&, p] {
                                  short_work.run(*p);
                                  sink += short_work.out_bytes[7];
                                });
    const std::size_t l = m.add(name + "_100b_tokens_per_s", kRows,
                                [&, p] {
                                  long_work.run(*p);
                                  sink += long_work.out_bytes[7];
                                });
    kernels.push_back({k, std::move(prepared), s, l});
  }

  const arrow_c::ArrayRef short_column = utf8_column(short_work.values);
  const arrow_c::ArrayRef long_column = utf8_column(long_work.values);
  if (!short_column || !long_column) return 1;
  auto apply_rate = [&](const arrow_c::ArrayRef& column) {
    return [&sink, &key, column] {
      auto r = mask_engine::apply(mask_engine::Transform::Hash, *column, mask_engine::Key(key));
      sink += r.ok() ? static_cast<std::size_t>(r.value()->length) : 0;
    };
  };
  // As in a stream of batches: the call before (untimed) made and released
  // an output of the same size. The cold line has no call before it, so its
  // output memory is fresh (the cache is emptied before it).
  const std::size_t apply_short =
      m.add("apply_hash_short_tokens_per_s", kRows, apply_rate(short_column), apply_rate(short_column));
  const std::size_t apply_long =
      m.add("apply_hash_100b_tokens_per_s", kRows, apply_rate(long_column), apply_rate(long_column));
  const std::size_t apply_cold = m.add("apply_hash_short_cold_tokens_per_s", kRows, apply_rate(short_column),
                                       [] { arrow_c::clear_buffer_cache(); });

  // The Arrow-native layouts, through the strict entry, on the same values.
  struct LayoutEntry {
    const char* name;
    arrow_c::ArrayRef column;
    std::size_t entry = 0;
  };
  std::vector<LayoutEntry> layouts = {{"string", utf8_column(short_work.values)},
                                      {"large_string", large_utf8_column(short_work.values)},
                                      {"string_view", string_view_column(short_work.values)},
                                      {"dictionary", dictionary_column(short_work.values)}};
  for (auto& l : layouts) {
    if (!l.column) return 1;
    const arrow_c::ArrayRef column = l.column;
    const auto run = [&sink, &key, column] {
      auto r = mask_engine::apply_any(mask_engine::Transform::Hash, column, mask_engine::Key(key));
      sink += r.ok() ? static_cast<std::size_t>(r.value()->length) : 0;
    };
    l.entry = m.add(std::string("apply_hash_") + l.name + "_tokens_per_s", kRows, run, run);
  }

  m.run(7);

  m.print(baseline);
  double best_compressions = 0;
  for (std::size_t e : bound_entries) {
    m.print(e);
    best_compressions = std::max(best_compressions, m.rate(e));
  }
  m.print(portable_compressions);
  std::printf("portable_over_openssl_compressions=%.2f\n",
              m.rate(portable_compressions) / m.rate(openssl_compressions));
  sink += portable_state[0];
  const double bound = best_compressions / 2;
  std::printf("sha_bound_tokens_per_s=%.0f\n", bound);
  double best = 0, best_long = 0, portable_short = 0, portable_long = 0;
  for (const auto& k : kernels) {
    std::printf("%s_lanes=%zu\n", keyed_hash::kernel_name(k.kernel), k.key->lanes());
    m.print(k.short_entry);
    m.print(k.long_entry);
    best = std::max(best, m.rate(k.short_entry));
    best_long = std::max(best_long, m.rate(k.long_entry));
    if (k.kernel == Kernel::Portable) {
      portable_short = m.rate(k.short_entry);
      portable_long = m.rate(k.long_entry);
    }
    if (k.kernel == Kernel::Avx2) {
      std::printf("avx2_over_portable_short=%.2f\n", m.rate(k.short_entry) / portable_short);
      std::printf("avx2_over_portable_100b=%.2f\n", m.rate(k.long_entry) / portable_long);
    }
  }
  m.print(apply_short);
  m.print(apply_long);
  m.print(apply_cold);
  for (const auto& l : layouts) m.print(l.entry);
  for (std::size_t i = 1; i < layouts.size(); ++i) {
    std::printf("%s_over_string=%.3f\n", layouts[i].name, m.rate(layouts[i].entry) / m.rate(layouts[0].entry));
  }
  std::fprintf(stderr, "(checksum %zu)\n", sink);
  std::printf("best_kernel_short_over_bound=%.3f\n", best / bound);
  std::printf("apply_hash_100b_over_kernel_100b=%.3f\n", m.rate(apply_long) / best_long);
  std::printf("kernel_fraction_of_bound=%.3f\n", m.rate(apply_short) / bound);
  std::printf("hash_kernel_ratio=%.2f\n", m.rate(apply_short) / m.rate(baseline));
  return 0;
}
