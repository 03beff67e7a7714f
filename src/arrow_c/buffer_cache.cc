#include "arrow_c/buffer_cache.h"

#include <pthread.h>
#include <sys/mman.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quillon::arrow_c {
namespace {

using Clock = std::chrono::steady_clock;
// A kept buffer unused this long is freed. In milliseconds, so that the
// janitor's check interval (a quarter of it) does not round down to zero.
constexpr auto kIdle = std::chrono::milliseconds(1000);

void* fresh(std::size_t size) {
  void* p = std::aligned_alloc(kHugePage, size);
  if (p != nullptr) madvise(p, size, MADV_HUGEPAGE);
  return p;
}

struct Entry {
  void* buffer;
  std::size_t capacity;
  Clock::time_point released;
};

// Never destroyed: the helper thread may still wait on it at exit.
class Cache {
 public:
  static Cache& get() {
    static Cache* cache = new Cache();
    return *cache;
  }

  void* take(std::size_t size, std::size_t* capacity) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // The newest buffer that fits without wasting more than half of it.
      for (std::size_t k = entries_.size(); k-- > 0;) {
        const Entry e = entries_[k];
        if (e.capacity >= size && e.capacity / 2 <= size) {
          entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(k));
          bytes_ -= e.capacity;
          ++hits_;
          *capacity = e.capacity;
          return e.buffer;
        }
      }
      ++misses_;
    }
    *capacity = size;
    return fresh(size);
  }

  void put(void* buffer, std::size_t capacity) {
    std::vector<void*> evicted;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (capacity > max_bytes_ || max_buffers_ == 0 || !ensure_janitor()) {
        evicted.push_back(buffer);
      } else {
        try {
          entries_.push_back({buffer, capacity, Clock::now()});
          bytes_ += capacity;
        } catch (const std::bad_alloc&) {
          evicted.push_back(buffer);
        }
        evict_over_bounds(evicted);
      }
    }
    for (void* p : evicted) std::free(p);
  }

  BufferCacheStats stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {entries_.size(), bytes_, hits_, misses_};
  }

  void set_bounds(std::size_t max_buffers, std::size_t max_bytes) {
    std::vector<void*> evicted;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      max_buffers_ = max_buffers;
      max_bytes_ = max_bytes;
      evict_over_bounds(evicted);
    }
    for (void* p : evicted) std::free(p);
  }

  void clear() {
    std::vector<void*> evicted;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const Entry& e : entries_) evicted.push_back(e.buffer);
      entries_.clear();
      bytes_ = 0;
    }
    for (void* p : evicted) std::free(p);
  }

 private:
  Cache() {
    entries_.reserve(16);
    pthread_atfork([] { get().mutex_.lock(); }, [] { get().mutex_.unlock(); }, [] { get().reset_in_child(); });
  }

  // Oldest first, until both bounds hold. Caller holds the lock.
  void evict_over_bounds(std::vector<void*>& evicted) {
    std::size_t drop = 0;
    std::size_t left_bytes = bytes_;
    while (drop < entries_.size() &&
           (entries_.size() - drop > max_buffers_ || left_bytes > max_bytes_)) {
      left_bytes -= entries_[drop].capacity;
      ++drop;
    }
    for (std::size_t k = 0; k < drop; ++k) evicted.push_back(entries_[k].buffer);
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(drop));
    bytes_ = left_bytes;
  }

  // Starts the thread that frees idle buffers, unless it runs. Caller holds
  // the lock. False when it cannot be started.
  bool ensure_janitor() {
    if (janitor_running_) return true;
    try {
      std::thread([this] { janitor(); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    janitor_running_ = true;
    return true;
  }

  // Frees buffers idle for kIdle; ends when nothing is kept.
  void janitor() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!entries_.empty()) {
      idle_.wait_for(lock, kIdle / 4);
      const auto now = Clock::now();
      std::vector<void*> evicted;
      std::size_t keep = 0;
      for (const Entry& e : entries_) {
        if (now - e.released >= kIdle) {
          evicted.push_back(e.buffer);
          bytes_ -= e.capacity;
        } else {
          entries_[keep++] = e;
        }
      }
      entries_.resize(keep);
      if (!evicted.empty()) {
        lock.unlock();
        for (void* p : evicted) std::free(p);
        lock.lock();
      }
    }
    janitor_running_ = false;
  }

  // In a fork child: only the forking thread exists, the lock is held by
  // the prepare handler. Kept buffers are freed here and never reused.
  void reset_in_child() {
    for (const Entry& e : entries_) std::free(e.buffer);
    entries_.clear();
    bytes_ = 0;
    janitor_running_ = false;  // the parent's thread does not exist here
    new (&mutex_) std::mutex();
    new (&idle_) std::condition_variable();
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::vector<Entry> entries_;  // oldest first
  std::size_t bytes_ = 0;
  std::size_t max_buffers_ = kDefaultCacheBuffers;
  std::size_t max_bytes_ = kDefaultCacheBytes;
  bool janitor_running_ = false;
  std::uint64_t hits_ = 0, misses_ = 0;
};

}  // namespace

void* allocate_large(std::size_t bytes, std::size_t* capacity) {
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (size < kCachedBuffer) {
    *capacity = size;
    return fresh(size);
  }
  return Cache::get().take(size, capacity);
}

void release_large(void* buffer, std::size_t capacity) {
  if (buffer == nullptr) return;
  if (capacity < kCachedBuffer) {
    std::free(buffer);
  } else {
    Cache::get().put(buffer, capacity);
  }
}

BufferCacheStats buffer_cache_stats() { return Cache::get().stats(); }

void set_buffer_cache_bounds(std::size_t max_buffers, std::size_t max_bytes) {
  Cache::get().set_bounds(max_buffers, max_bytes);
}

void clear_buffer_cache() { Cache::get().clear(); }

}  // namespace quillon::arrow_c
