// The process-wide worker pool. Created at first use; its thread count is
// fixed then, from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the
// number of logical processors.
//
// parallel_for blocks until every task has run. An exception thrown by a
// task is kept (the first one) and rethrown on the caller's thread after all
// tasks have ended. A pool thread that calls parallel_for itself (a column
// task splitting its rows) works on its own tasks while it waits, so nesting
// cannot deadlock. Pool threads never touch Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace mask_engine {

// A thread count as the environment writes it: decimal digits with at most
// one leading "+", nothing else, no overflow. nullopt when not of that form.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool size for the two variables' values (null when unset) and the
// logical processor count (0 when unknown).
std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t logical_processors);

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  static WorkerPool& global();

  std::size_t size() const;

  // Runs task(i) for every i in [0, count), in any order and on any pool
  // thread, and returns when all have finished.
  void parallel_for(std::int64_t count, const std::function<void(std::int64_t)>& task);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace mask_engine
