// The cache of large output buffers: what it keeps and hands back, its
// bounds under any order of releases and from several threads, idle
// release, and a fork child that must not reuse the parent's buffers.
#include "arrow_c/buffer_cache.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "mask_engine/transform.h"
#include "oracle.h"
#include "test_util.h"

namespace quillon::arrow_c {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kUnit = kCachedBuffer;  // the smallest size cached

// Each test starts and ends with an empty cache at its default bounds.
class BufferCache : public ::testing::Test {
 protected:
  void SetUp() override { set_buffer_cache_bounds(kDefaultCacheBuffers, kDefaultCacheBytes); clear_buffer_cache(); }
  void TearDown() override { SetUp(); }
};

struct Held {
  void* p;
  std::size_t capacity;
};

Held take(std::size_t bytes) {
  Held h{nullptr, 0};
  h.p = allocate_large(bytes, &h.capacity);
  return h;
}

// Releases of several sizes under several bounds: the cache never holds more
// buffers or bytes than its bounds, and keeps the newest ones.
struct BoundsCase {
  const char* name;
  std::size_t max_buffers, max_bytes;
  std::vector<std::size_t> released;  // in units, in this order
  std::size_t kept_buffers, kept_units;
};

class CacheBounds : public BufferCache, public ::testing::WithParamInterface<BoundsCase> {};

TEST_P(CacheBounds, NeverHoldsMoreThanItsBounds) {
  const BoundsCase& c = GetParam();
  set_buffer_cache_bounds(c.max_buffers, c.max_bytes);
  std::vector<Held> held;
  for (std::size_t units : c.released) held.push_back(take(units * kUnit - kMiB / 2));
  for (const Held& h : held) {
    ASSERT_NE(h.p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h.p) % kHugePage, 0u);
    EXPECT_EQ(h.capacity % kUnit, 0u);
    // The capacity is ours to its last byte.
    std::memset(h.p, 1, 4096);
    std::memset(static_cast<char*>(h.p) + h.capacity - 4096, 1, 4096);
    release_large(h.p, h.capacity);
    const BufferCacheStats s = buffer_cache_stats();
    EXPECT_LE(s.buffers, c.max_buffers);
    EXPECT_LE(s.bytes, c.max_bytes);
  }
  const BufferCacheStats s = buffer_cache_stats();
  EXPECT_EQ(s.buffers, c.kept_buffers);
  EXPECT_EQ(s.bytes, c.kept_units * kUnit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CacheBounds,
    ::testing::Values(BoundsCase{"two_of_three", 2, 8 * kUnit, {3, 2, 1}, 2, 3},
                      BoundsCase{"default_bytes_bound", 2, kDefaultCacheBytes, {6, 3}, 1, 3},
                      BoundsCase{"bytes_bound_first", 4, 5 * kUnit, {2, 2, 2}, 2, 4},
                      BoundsCase{"larger_than_the_bound", 2, 2 * kUnit, {1, 3}, 1, 1},
                      BoundsCase{"off", 0, 0, {1, 1}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BufferCache, HandsBackAKeptBufferOnlyWhenItFits) {
  // Smaller than the cached size: never kept.
  Held below = take(kUnit - kHugePage);
  release_large(below.p, below.capacity);
  EXPECT_EQ(buffer_cache_stats().buffers, 0u);
  Held a = take(4 * kUnit);
  void* const first = a.p;
  release_large(a.p, a.capacity);
  const std::uint64_t hits = buffer_cache_stats().hits;
  // Less than half of it: a fresh buffer, the kept one stays.
  Held small = take(kUnit + kHugePage);
  EXPECT_NE(small.p, first);
  EXPECT_EQ(buffer_cache_stats().hits, hits);
  // More than it holds: fresh too.
  Held big = take(5 * kUnit);
  EXPECT_NE(big.p, first);
  // A fit: the same buffer, its whole capacity.
  Held again = take(3 * kUnit);
  EXPECT_EQ(again.p, first);
  EXPECT_EQ(again.capacity, 4 * kUnit);
  EXPECT_EQ(buffer_cache_stats().hits, hits + 1);
  for (const Held& h : {small, big, again}) release_large(h.p, h.capacity);
}

// An idle buffer is freed; while it waits out its idle second, the thread
// that will free it sleeps between its checks, so the process spends next
// to no CPU time (a check interval rounded down to zero made it spin, a
// system call a turn).
TEST_F(BufferCache, IdleBuffersAreFreedWithoutSpinning) {
  const auto cpu_seconds = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  Held a = take(kUnit);
  release_large(a.p, a.capacity);
  EXPECT_EQ(buffer_cache_stats().buffers, 1u);
  const double before = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LT(cpu_seconds() - before, 0.01);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (buffer_cache_stats().buffers != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(buffer_cache_stats().buffers, 0u);
}

// Threads taking, writing and releasing at once: no buffer is handed to two
// holders (each writes its own pattern and finds it intact), and the bounds
// hold throughout (run under ThreadSanitizer too).
TEST_F(BufferCache, ThreadsNeverShareABuffer) {
  std::vector<std::thread> threads;
  std::atomic<int> faults{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &faults] {
      for (int round = 0; round < 40; ++round) {
        Held h = take((1 + (round + t) % 3) * kUnit);
        auto* bytes = static_cast<unsigned char*>(h.p);
        const unsigned char mark = static_cast<unsigned char>(16 * t + round % 16);
        std::memset(bytes, mark, 64 * 1024);
        std::this_thread::yield();
        for (std::size_t i = 0; i < 64 * 1024; i += 4093) faults += bytes[i] != mark;
        release_large(h.p, h.capacity);
        const BufferCacheStats s = buffer_cache_stats();
        faults += s.buffers > kDefaultCacheBuffers || s.bytes > kDefaultCacheBytes;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
}

#if !defined(__SANITIZE_THREAD__)
// A fork child starts with an empty cache: a buffer the parent kept is never
// handed out there, and masking works in the child.
TEST_F(BufferCache, ForkChildStartsEmpty) {
  Held a = take(kUnit);
  release_large(a.p, a.capacity);
  ASSERT_EQ(buffer_cache_stats().buffers, 1u);
  // Let the janitor thread that release started reach its wait first: under
  // ASan a fork while a thread is inside the sanitizer's allocator (as a
  // starting thread is) leaves that lock held in the child. glibc's malloc
  // has fork handlers; the sanitizer runtime of GCC 12 does not.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(20);
    int code = 0;
    if (buffer_cache_stats().buffers != 0) code |= 1;
    // (The address may come back: the child freed its copy of that memory.)
    const std::uint64_t hits = buffer_cache_stats().hits;
    Held b = take(kUnit);
    if (buffer_cache_stats().hits != hits) code |= 2;
    release_large(b.p, b.capacity);
    const testing::Rows rows(1000, std::string("v"));
    auto out = mask_engine::apply_any(mask_engine::Transform::Hash, testing::column(testing::utf8(rows)),
                                      mask_engine::Key("k"), 5);
    if (!out.ok() || testing::rows_of(*out.value())[7] != oracle::token("k", 12, "v")) code |= 4;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent keeps its own.
  EXPECT_EQ(buffer_cache_stats().buffers, 1u);
}
#endif

// Batches masked one after another reuse the previous batch's output memory
// (tokens of 600,000 rows: 38.4 MB) and still give the right tokens.
TEST_F(BufferCache, ConsecutiveBatchesReuseOutputMemory) {
  constexpr std::int64_t kRows = 600000;
  const ArrayRef column = testing::column(testing::utf8(testing::Rows(kRows, std::string("v"))));
  const std::uint64_t hits = buffer_cache_stats().hits;
  for (std::int64_t batch = 0; batch < 3; ++batch) {
    auto out = mask_engine::apply_any(mask_engine::Transform::Hash, column, mask_engine::Key("k"), batch * kRows);
    ASSERT_TRUE(out.ok());
    auto tokens = read_utf8(*out.value());
    ASSERT_TRUE(tokens.ok());
    for (std::int64_t i : {std::int64_t{0}, std::int64_t{12345}, kRows - 1}) {
      EXPECT_EQ(std::string(tokens.value().value(i)), oracle::token("k", batch * kRows + i, "v"));
    }
  }
  EXPECT_GE(buffer_cache_stats().hits, hits + 2);
}

}  // namespace
}  // namespace quillon::arrow_c
