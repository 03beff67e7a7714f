// The process-wide worker pool. Created at first use; its thread count is
// fixed then, from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the
// number of logical processors.
//
// Threads start as pending work needs them, up to that count. A thread that
// cannot be started (the system refuses, or the count is more than any system
// provides) ends the growth for good: the pool goes on with the threads it
// has, and with none the calling thread does the work itself. Nothing is
// reserved by the configured count.
//
// parallel_for blocks until every task has run. An exception thrown by a
// task is kept (the first one) and rethrown on the caller's thread after all
// tasks have ended. A pool thread that calls parallel_for itself (a column
// task splitting its rows) works on its own tasks while it waits, so nesting
// cannot deadlock. Pool threads never touch Python objects.
//
// fork: the child of a fork never touches the parent's pool (its threads do
// not exist there and its locks may be held by them); its first global()
// builds a new pool, sized again from the environment. The parent keeps its
// pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

namespace quillon::mask_engine {

// A thread count as the environment writes it: decimal digits with at most
// one leading "+", nothing else, no overflow. nullopt when not of that form.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool size for the two variables' values (null when unset) and the
// logical processor count (0 when unknown).
std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t logical_processors);

// Starts a thread that runs body, as std::thread's constructor does: throws
// (std::system_error, std::bad_alloc) or returns a non-joinable thread when
// none could be started.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The starter that constructs a std::thread.
ThreadStarter default_thread_starter();

class WorkerPool {
 public:
  // threads: the most threads the pool may start (0 counts as 1).
  explicit WorkerPool(std::size_t threads, ThreadStarter starter = default_thread_starter());
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The process's pool (a fork child's own one in a fork child).
  static WorkerPool& global();

  // How many threads can work on the pool's tasks, at least 1: the configured
  // count (capped at kMaxThreads) until a thread fails to start, then the
  // threads that did start (1 with none: the caller).
  std::size_t size() const;

  // Threads started so far.
  std::size_t started_threads() const;

  // No system gives a process more threads than this (Linux caps process
  // ids at 2^22), so size() never reports more.
  static constexpr std::size_t kMaxThreads = std::size_t{1} << 22;

  // Runs task(i) for every i in [0, count), in any order and on any pool
  // thread, and returns when all have finished.
  void parallel_for(std::int64_t count, const std::function<void(std::int64_t)>& task);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quillon::mask_engine
