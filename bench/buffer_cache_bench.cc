// A stream of 100 batches of 100,000 rows, one hashed string column, masked
// one after the other as a C stream's consumer would take them: each batch's
// output lives until the next one is made. Runs the stream with the output
// buffer cache at its default bounds and with it off, in turns (7 rounds),
// and prints per mode the median and best batches/s, the highest resident
// memory seen after any batch, and the cache's hits; then whether the cache
// is empty after a second and a half idle. Last line: buffer_cache_speedup=
// (median with the cache over median without).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "arrow_c/buffer_cache.h"
#include "mask_engine/transform.h"
#include "utf8_column.h"

namespace {

constexpr int kBatches = 100;
constexpr std::int64_t kRows = 100000;
constexpr int kRounds = 7;

// Resident memory now, from /proc/self/statm.
double rss_mib() {
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
  std::fclose(f);
  return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

struct Mode {
  const char* name;
  std::size_t max_buffers, max_bytes;
  std::vector<double> rates;
  double peak_rss = 0;
  std::uint64_t hits = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  std::vector<std::string> values;
  values.reserve(kRows);
  for (std::int64_t i = 0; i < kRows; ++i) values.push_back("user" + std::to_string(i) + "@example.com");
  const arrow_c::ArrayRef column = utf8_column(values);
  if (!column) return 1;
  const mask_engine::Key key("benchmark-key");

  Mode modes[] = {{"with_cache", arrow_c::kDefaultCacheBuffers, arrow_c::kDefaultCacheBytes, {}},
                  {"without_cache", 0, 0, {}}};
  std::size_t sink = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (Mode& m : modes) {
      arrow_c::set_buffer_cache_bounds(m.max_buffers, m.max_bytes);
      const auto before = arrow_c::buffer_cache_stats();
      const auto t0 = std::chrono::steady_clock::now();
      arrow_c::ArrayRef previous;
      for (int b = 0; b < kBatches; ++b) {
        auto out = mask_engine::apply_any(mask_engine::Transform::Hash, column, key, b * kRows);
        if (!out.ok()) return 1;
        previous = std::move(out).value();
        sink += static_cast<std::size_t>(previous->length);
        m.peak_rss = std::max(m.peak_rss, rss_mib());
      }
      previous.reset();
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      m.rates.push_back(kBatches / s);
      m.hits += arrow_c::buffer_cache_stats().hits - before.hits;
    }
  }
  arrow_c::set_buffer_cache_bounds(arrow_c::kDefaultCacheBuffers, arrow_c::kDefaultCacheBytes);
  const auto kept = arrow_c::buffer_cache_stats();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto idle = arrow_c::buffer_cache_stats();

  std::fprintf(stderr, "(checksum %zu)\n", sink);
  for (const Mode& m : modes) {
    std::printf("%s_batches_per_s_median=%.1f\n", m.name, median(m.rates));
    std::printf("%s_batches_per_s_best=%.1f\n", m.name, *std::max_element(m.rates.begin(), m.rates.end()));
    std::printf("%s_peak_rss_mib=%.1f\n", m.name, m.peak_rss);
    std::printf("%s_cache_hits=%llu\n", m.name, static_cast<unsigned long long>(m.hits));
  }
  std::printf("cache_mib_after_stream=%.1f\n", static_cast<double>(kept.bytes) / (1 << 20));
  std::printf("cache_mib_after_idle=%.1f\n", static_cast<double>(idle.bytes) / (1 << 20));
  std::printf("buffer_cache_speedup=%.2f\n", median(modes[0].rates) / median(modes[1].rates));
  return 0;
}
