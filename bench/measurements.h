// Rates for the C++ benchmarks: items per second, best of several rounds,
// measured in turns so that every entry sees the same machine.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace quillon::bench {

using Clock = std::chrono::steady_clock;

inline double seconds(const std::function<void()>& run) {
  const auto t0 = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Rates measured in turns, best of several rounds each: on a shared machine
// noise only slows a run down, and taking turns exposes the bound and the
// kernels to the same conditions.
class Measurements {
 public:
  // `before` runs untimed right before each timed run.
  std::size_t add(std::string name, double items, std::function<void()> run,
                  std::function<void()> before = nullptr) {
    entries_.push_back({std::move(name), items, std::move(run), 0, std::move(before)});
    return entries_.size() - 1;
  }
  void run(int rounds) {
    for (int r = 0; r < rounds; ++r) {
      for (auto& e : entries_) {
        if (e.before) e.before();
        e.best = std::max(e.best, e.items / seconds(e.run));
      }
    }
  }
  double rate(std::size_t i) const { return entries_[i].best; }
  void print(std::size_t i) const {
    std::printf("%s=%.0f\n", entries_[i].name.c_str(), entries_[i].best);
  }

 private:
  struct Entry {
    std::string name;
    double items;
    std::function<void()> run;
    double best;
    std::function<void()> before;
  };
  std::vector<Entry> entries_;
};

}  // namespace quillon::bench
