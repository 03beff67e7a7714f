#include "mask_engine/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

namespace mask_engine {
namespace {

struct ParseCase {
  std::string text;
  std::optional<std::uint64_t> value;
};

class ThreadCountParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ThreadCountParse, AcceptsOnlyDigitsWithOnePlus) {
  EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().value) << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ThreadCountParse,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"0", 0},
                      ParseCase{"0004", 4}, ParseCase{"", std::nullopt},
                      ParseCase{"+", std::nullopt}, ParseCase{" 4", std::nullopt},
                      ParseCase{"4 ", std::nullopt}, ParseCase{"++4", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"abc", std::nullopt},
                      ParseCase{"4x", std::nullopt},
                      ParseCase{"18446744073709551615", 18446744073709551615ull},
                      ParseCase{"99999999999999999999", std::nullopt},
                      ParseCase{"\xff\xfe", std::nullopt}, ParseCase{"\xd9\xa4", std::nullopt}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(PoolSize, FromEnvironment) {
  EXPECT_EQ(pool_size_from(nullptr, nullptr, 8), 8u);
  EXPECT_EQ(pool_size_from(nullptr, nullptr, 0), 1u);
  EXPECT_EQ(pool_size_from("3", "5", 8), 3u);
  EXPECT_EQ(pool_size_from("0", "5", 8), 8u);  // 0: the processor count, not the fallback
  EXPECT_EQ(pool_size_from("x", "5", 8), 5u);
  EXPECT_EQ(pool_size_from(" 3", "0", 8), 8u);  // the second variable must be positive
  EXPECT_EQ(pool_size_from(nullptr, "+2", 8), 2u);
  EXPECT_EQ(pool_size_from("99999999999999999999", nullptr, 6), 6u);
}

TEST(WorkerPool, ExceptionReachesCallerAfterAllTasksEnd) {
  WorkerPool pool(2);
  std::atomic<int> ran{0};
  try {
    pool.parallel_for(64, [&](std::int64_t i) {
      ran++;
      if (i == 5) throw std::runtime_error("task 5 failed");
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "task 5 failed");
  }
  EXPECT_EQ(ran.load(), 64);
  // The pool still works afterwards.
  std::atomic<int> again{0};
  pool.parallel_for(10, [&](std::int64_t) { again++; });
  EXPECT_EQ(again.load(), 10);
}

TEST(WorkerPool, NestedCallsOnEveryThreadFinish) {
  for (std::size_t threads : {1u, 2u, 4u}) {
    WorkerPool pool(threads);
    std::atomic<std::int64_t> sum{0};
    pool.parallel_for(8, [&](std::int64_t outer) {
      pool.parallel_for(50, [&](std::int64_t inner) { sum += outer * 100 + inner; });
    });
    EXPECT_EQ(sum.load(), 8 * (50 * 49 / 2) + 100 * 50 * (8 * 7 / 2)) << threads;
  }
}

}  // namespace
}  // namespace mask_engine
