#include "mask_engine/worker_pool.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace mask_engine {

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
  const std::function<void(std::int64_t)>* task;
  std::int64_t count;
  std::atomic<std::int64_t> next{0};
  std::atomic<std::int64_t> finished{0};
  std::mutex mutex;
  std::condition_variable all_done;
  std::exception_ptr error;

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

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable work;
  std::deque<std::shared_ptr<Job>> jobs;  // jobs that may still have unclaimed indices
  bool stopping = false;
  std::vector<std::thread> threads;

  void loop() {
    t_current_pool = this;
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock<std::mutex> lock(mutex);
        work.wait(lock, [&] { return stopping || !jobs.empty(); });
        if (stopping && jobs.empty()) return;
        job = jobs.front();
        if (job->next.load(std::memory_order_relaxed) >= job->count) {
          jobs.pop_front();
          continue;
        }
      }
      while (job->run_one()) {
      }
    }
  }
};

WorkerPool::WorkerPool(std::size_t threads) : state_(std::make_unique<State>()) {
  if (threads == 0) threads = 1;
  state_->threads.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) state_->threads.emplace_back([s = state_.get()] { s->loop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_all();
  for (auto& t : state_->threads) t.join();
}

WorkerPool& WorkerPool::global() {
  // Kept until the process ends: never destroyed, so no thread is joined
  // while static destructors run.
  static WorkerPool* pool = new WorkerPool(pool_size_from(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
      std::thread::hardware_concurrency()));
  return *pool;
}

std::size_t WorkerPool::size() const { return state_->threads.size(); }

void WorkerPool::parallel_for(std::int64_t count, const std::function<void(std::int64_t)>& task) {
  if (count <= 0) return;
  auto job = std::make_shared<Job>();
  job->task = &task;
  job->count = count;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->jobs.push_back(job);
  }
  if (count == 1) {
    state_->work.notify_one();
  } else {
    state_->work.notify_all();
  }
  // A pool thread waiting here would hold back a worker; it works on its own
  // job instead, which is what keeps nested calls from deadlocking.
  if (t_current_pool == state_.get()) {
    while (job->run_one()) {
    }
  }
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    job->all_done.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == count; });
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace mask_engine
