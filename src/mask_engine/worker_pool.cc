#include "mask_engine/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>

namespace quillon::mask_engine {

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t logical_processors) {
  const std::size_t logical = logical_processors == 0 ? 1 : logical_processors;
  if (rayon_num_threads != nullptr) {
    if (auto n = parse_thread_count(rayon_num_threads)) {
      return *n == 0 ? logical : static_cast<std::size_t>(*n);
    }
  }
  if (rayon_rs_num_cpus != nullptr) {
    if (auto n = parse_thread_count(rayon_rs_num_cpus); n && *n > 0) {
      return static_cast<std::size_t>(*n);
    }
  }
  return logical;
}

namespace {

// One parallel_for call. Indices are claimed with one atomic add each.
struct Job {
  Job(const std::function<void(std::int64_t)>* task, std::int64_t count) : task(task), count(count) {}

  const std::function<void(std::int64_t)>* task;
  const std::int64_t count;
  std::atomic<std::int64_t> next{0};
  std::atomic<std::int64_t> finished{0};
  std::mutex mutex;
  std::condition_variable all_done;
  std::exception_ptr error;

  bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }

  // Runs one claimed index; false when none was left.
  bool run_one() {
    const std::int64_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= count) return false;
    try {
      (*task)(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!error) error = std::current_exception();
    }
    if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
      std::lock_guard<std::mutex> lock(mutex);
      all_done.notify_all();
    }
    return true;
  }
};

thread_local const void* t_current_pool = nullptr;

}  // namespace

ThreadStarter default_thread_starter() {
  return [](std::function<void()> body) { return std::thread(std::move(body)); };
}

struct WorkerPool::State {
  State(std::size_t limit, ThreadStarter starter)
      : limit(limit), starter(std::move(starter)), size(std::min(limit, kMaxThreads)) {}

  const std::size_t limit;  // the configured count, at least 1
  const ThreadStarter starter;

  std::mutex mutex;
  std::condition_variable work;
  // Guarded by mutex.
  std::deque<std::shared_ptr<Job>> jobs;  // jobs that may still have unclaimed indices
  bool stopping = false;
  bool growth_ended = false;  // a start failed: no further thread is tried
  std::size_t idle = 0;       // threads waiting for work
  std::vector<std::thread> threads;

  // Readable without the lock.
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> size;

  void loop() {
    t_current_pool = this;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (jobs.empty()) {
        if (stopping) return;
        ++idle;
        work.wait(lock);
        --idle;
        continue;
      }
      std::shared_ptr<Job> job = jobs.front();
      if (job->exhausted()) {
        jobs.pop_front();
        continue;
      }
      lock.unlock();
      while (job->run_one()) {
      }
      job.reset();
      lock.lock();
    }
  }

  // Starts threads until `wanted` could be waiting for work, within the
  // configured count. Called with mutex held; never throws.
  void grow(std::uint64_t wanted) {
    std::size_t fresh = 0;
    while (!growth_ended && threads.size() < limit && idle + fresh < wanted && start_one()) ++fresh;
  }

  bool start_one() {
    // The slot comes first, so a started thread always has an owner that
    // joins it.
    try {
      threads.emplace_back();
    } catch (...) {
      return end_growth();
    }
    try {
      threads.back() = starter([this] { loop(); });
    } catch (...) {
      // std::system_error when the system refuses a thread, std::bad_alloc.
    }
    if (!threads.back().joinable()) {
      threads.pop_back();
      return end_growth();
    }
    started.store(threads.size(), std::memory_order_relaxed);
    return true;
  }

  bool end_growth() {
    growth_ended = true;
    size.store(std::max<std::size_t>(1, threads.size()), std::memory_order_relaxed);
    return false;
  }
};

WorkerPool::WorkerPool(std::size_t threads, ThreadStarter starter)
    : state_(std::make_unique<State>(threads == 0 ? 1 : threads, std::move(starter))) {}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_all();
  for (auto& t : state_->threads) t.join();
}

namespace {

// The global pool. A fork child must not look at the parent's pool, so the
// child handler forgets it (leaking it: its mutexes may be held by threads
// that the child does not have). Holding the mutex across fork keeps a pool
// that is being created in the parent from showing up half-made in the
// child.
std::mutex g_global_mutex;
std::atomic<WorkerPool*> g_global{nullptr};
bool g_fork_handlers = false;  // guarded by g_global_mutex; inherited by children

void before_fork() { g_global_mutex.lock(); }
void after_fork_in_parent() { g_global_mutex.unlock(); }
void after_fork_in_child() {
  g_global.store(nullptr, std::memory_order_relaxed);
  // The child's only thread is the one that locked it.
  g_global_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::global() {
  if (WorkerPool* pool = g_global.load(std::memory_order_acquire)) return *pool;
  std::lock_guard<std::mutex> lock(g_global_mutex);
  if (WorkerPool* pool = g_global.load(std::memory_order_relaxed)) return *pool;
  if (!g_fork_handlers) {
    // Without the handlers a fork child would wait forever on this pool.
    if (int rc = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); rc != 0) {
      throw std::system_error(rc, std::generic_category(), "pthread_atfork");
    }
    g_fork_handlers = true;
  }
  // Kept until the process ends: never destroyed, so no thread is joined
  // while static destructors run.
  auto* pool = new WorkerPool(pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                             std::getenv("RAYON_RS_NUM_CPUS"),
                                             std::thread::hardware_concurrency()));
  g_global.store(pool, std::memory_order_release);
  return *pool;
}

std::size_t WorkerPool::size() const { return state_->size.load(std::memory_order_relaxed); }

std::size_t WorkerPool::started_threads() const {
  return state_->started.load(std::memory_order_relaxed);
}

void WorkerPool::parallel_for(std::int64_t count, const std::function<void(std::int64_t)>& task) {
  if (count <= 0) return;
  State& s = *state_;
  auto job = std::make_shared<Job>(&task, count);
  // A pool thread calling in takes a share of its own job.
  const bool nested = t_current_pool == &s;
  bool alone = false;
  std::size_t wake = 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.grow(static_cast<std::uint64_t>(count) - (nested ? 1 : 0));
    if (s.threads.empty()) {
      alone = true;  // no thread could start: this thread does the work
    } else {
      s.jobs.push_back(job);
      wake = std::min(static_cast<std::uint64_t>(count), static_cast<std::uint64_t>(s.idle));
    }
  }
  // Threads that just started find the job without being woken.
  if (wake == 1) {
    s.work.notify_one();
  } else if (wake > 1) {
    s.work.notify_all();
  }
  if (nested || alone) {
    while (job->run_one()) {
    }
  }
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    job->all_done.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == count; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace quillon::mask_engine
