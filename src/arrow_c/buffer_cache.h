// Large output buffers, and a small per-process cache of recently freed ones.
//
// Why: a masked column of a million rows writes 64 MB of tokens into fresh
// memory, which the OS zeroes page by page on first touch; a stream of
// batches can instead write into pages a previous batch already touched.
//
// allocate_large() hands out 2 MiB-aligned buffers rounded up to whole huge
// pages (asked for as huge pages); release_large() gives one back. Buffers
// of kCachedBuffer and more are cached: glibc hands smaller ones back to the
// heap and reuses them itself (its mmap threshold rises up to 32 MiB after
// a large free), and a cache in front of it only slowed a stream of 6 MB
// outputs down; bigger ones it unmaps on free. A released buffer is kept
// for reuse while the cache stays within its bound (by default two buffers
// and 256 MiB; the older ones go first), and is freed once it has sat
// unused for about a second (a helper thread, started while the cache holds
// anything, frees it). A request is served from the cache only by a buffer
// at most twice its size.
//
// Threads: every function may be called from any thread. Fork: the child
// starts with an empty cache (the parent's kept buffers are freed in the
// child, never reused there) and a lock in its initial state.
// Errors: allocate_large() returns null when memory runs out; when the helper
// thread cannot be started nothing is kept.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::arrow_c {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Buffers from this size up are large: huge pages.
inline constexpr std::size_t kLargeBuffer = 2 * kHugePage;
// From this size up they are cached too.
inline constexpr std::size_t kCachedBuffer = std::size_t{32} << 20;

// A buffer of at least `bytes` (>= kLargeBuffer); *capacity gets its real
// size, to pass back to release_large().
void* allocate_large(std::size_t bytes, std::size_t* capacity);
void release_large(void* buffer, std::size_t capacity);

struct BufferCacheStats {
  std::size_t buffers = 0;  // kept now
  std::size_t bytes = 0;    // their capacity
  std::uint64_t hits = 0;   // requests served from the cache
  std::uint64_t misses = 0;
};
BufferCacheStats buffer_cache_stats();

// Bounds for benchmarks and tests: at most `max_buffers` buffers and
// `max_bytes` bytes kept (0 disables the cache and frees what it holds).
void set_buffer_cache_bounds(std::size_t max_buffers, std::size_t max_bytes);
// Frees every kept buffer now.
void clear_buffer_cache();

inline constexpr std::size_t kDefaultCacheBuffers = 2;
inline constexpr std::size_t kDefaultCacheBytes = std::size_t{256} << 20;

}  // namespace quillon::arrow_c
