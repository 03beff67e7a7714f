// Streams of batches, one hashed string column, masked one after the other
// as a C stream's consumer takes them: each batch's output lives until the
// next one is made. Two streams: 100 batches of 100,000 rows (6.4 MB of
// tokens each, under the cached size: glibc reuses those itself) and 20
// batches of 1,000,000 rows (64 MB each, which glibc unmaps on free). Each
// runs with the output buffer cache at its default bounds and with it off,
// in turns (7 rounds); per stream and mode: median and best batches/s, the
// highest resident memory seen after any batch, and the cache's hits. Then
// the memory the cache kept after a stream and after 1.5 s idle. Last line:
// buffer_cache_speedup= (median with the cache over median without) on the
// 1,000,000-row stream.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "arrow_c/buffer_cache.h"
#include "mask_engine/transform.h"
#include "utf8_column.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

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

// Prints the stream's lines and returns its speedup.
double stream(const char* name, int batches, std::int64_t rows, std::size_t& sink) {
  std::vector<std::string> values;
  values.reserve(static_cast<std::size_t>(rows));
  for (std::int64_t i = 0; i < rows; ++i) values.push_back("user" + std::to_string(i) + "@example.com");
  const arrow_c::ArrayRef column = utf8_column(values);
  if (!column) std::exit(1);
  const mask_engine::Key key("benchmark-key");
  Mode modes[] = {{"with_cache", arrow_c::kDefaultCacheBuffers, arrow_c::kDefaultCacheBytes, {}},
                  {"without_cache", 0, 0, {}}};
  for (int round = 0; round < kRounds; ++round) {
    for (Mode& m : modes) {
      arrow_c::set_buffer_cache_bounds(m.max_buffers, m.max_bytes);
      const auto before = arrow_c::buffer_cache_stats();
      const auto t0 = std::chrono::steady_clock::now();
      arrow_c::ArrayRef previous;
      for (int b = 0; b < batches; ++b) {
        auto out = mask_engine::apply_any(mask_engine::Transform::Hash, column, key, b * rows);
        if (!out.ok()) std::exit(1);
        previous = std::move(out).value();
        sink += static_cast<std::size_t>(previous->length);
        m.peak_rss = std::max(m.peak_rss, rss_mib());
      }
      previous.reset();
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      m.rates.push_back(batches / s);
      m.hits += arrow_c::buffer_cache_stats().hits - before.hits;
    }
  }
  for (const Mode& m : modes) {
    std::printf("%s_%s_batches_per_s_median=%.1f\n", name, m.name, median(m.rates));
    std::printf("%s_%s_batches_per_s_best=%.1f\n", name, m.name, *std::max_element(m.rates.begin(), m.rates.end()));
    std::printf("%s_%s_peak_rss_mib=%.1f\n", name, m.name, m.peak_rss);
    std::printf("%s_%s_cache_hits=%llu\n", name, m.name, static_cast<unsigned long long>(m.hits));
  }
  const double speedup = median(modes[0].rates) / median(modes[1].rates);
  std::printf("%s_speedup=%.2f\n", name, speedup);
  return speedup;
}

}  // namespace

int main() {
  std::size_t sink = 0;
  stream("stream_100x100k", 100, 100000, sink);
  const double speedup = stream("stream_20x1m", 20, 1000000, sink);
  // One more stream with the cache on, then idle.
  arrow_c::set_buffer_cache_bounds(arrow_c::kDefaultCacheBuffers, arrow_c::kDefaultCacheBytes);
  {
    std::vector<std::string> values(1000000, "someone@example.com");
    const arrow_c::ArrayRef column = utf8_column(values);
    for (int b = 0; b < 3; ++b) {
      auto out = mask_engine::apply_any(mask_engine::Transform::Hash, column, mask_engine::Key("k"), b);
      sink += out.ok() ? 1 : 0;
    }
  }
  const auto kept = arrow_c::buffer_cache_stats();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto idle = arrow_c::buffer_cache_stats();
  std::fprintf(stderr, "(checksum %zu)\n", sink);
  std::printf("cache_mib_after_stream=%.1f\n", static_cast<double>(kept.bytes) / (1 << 20));
  std::printf("cache_mib_after_idle=%.1f\n", static_cast<double>(idle.bytes) / (1 << 20));
  std::printf("buffer_cache_speedup=%.2f\n", speedup);
  return 0;
}
