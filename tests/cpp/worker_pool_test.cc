#include "mask_engine/worker_pool.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quillon::mask_engine {
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

// Starts real threads until `allowed` have started, then fails the way the
// given failure says, as a system out of threads or memory would.
enum class Refusal { SystemError, BadAlloc, NoThread };

ThreadStarter starter_failing_after(std::size_t allowed, Refusal refusal,
                                    std::atomic<std::size_t>* attempts) {
  return [=](std::function<void()> body) {
    if (attempts->fetch_add(1) >= allowed) {
      switch (refusal) {
        case Refusal::SystemError:
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        case Refusal::BadAlloc:
          throw std::bad_alloc();
        case Refusal::NoThread:
          return std::thread();
      }
    }
    return std::thread(std::move(body));
  };
}

struct StartCase {
  std::size_t allowed;
  Refusal refusal;
};

class FailedThreadStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(FailedThreadStart, PoolRunsOnTheThreadsThatStarted) {
  const auto [allowed, refusal] = GetParam();
  std::atomic<std::size_t> attempts{0};
  WorkerPool pool(8, starter_failing_after(allowed, refusal, &attempts));
  EXPECT_EQ(pool.size(), 8u);  // nothing tried yet

  std::mutex mutex;
  std::set<std::thread::id> workers;
  std::atomic<std::int64_t> sum{0};
  pool.parallel_for(64, [&](std::int64_t i) {
    sum += i;
    std::lock_guard<std::mutex> lock(mutex);
    workers.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(sum.load(), 64 * 63 / 2);
  EXPECT_EQ(pool.started_threads(), allowed);
  EXPECT_EQ(pool.size(), std::max<std::size_t>(1, allowed));
  EXPECT_EQ(attempts.load(), allowed + 1);  // growth stops at the first failure
  if (allowed == 0) {
    EXPECT_EQ(workers, std::set<std::thread::id>{std::this_thread::get_id()});
  } else {
    EXPECT_LE(workers.size(), allowed);
    EXPECT_EQ(workers.count(std::this_thread::get_id()), 0u);
  }

  // Later calls never try again, still nest, and still report a task's
  // exception after every task has ended.
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.parallel_for(16,
                                 [&](std::int64_t outer) {
                                   pool.parallel_for(8, [&](std::int64_t) { ran++; });
                                   if (outer == 3) throw std::runtime_error("outer 3");
                                 }),
               std::runtime_error);
  EXPECT_EQ(ran.load(), 16 * 8);
  EXPECT_EQ(attempts.load(), allowed + 1);
}

INSTANTIATE_TEST_SUITE_P(Table, FailedThreadStart,
                         ::testing::Values(StartCase{0, Refusal::SystemError},
                                           StartCase{1, Refusal::SystemError},
                                           StartCase{3, Refusal::SystemError},
                                           StartCase{0, Refusal::BadAlloc},
                                           StartCase{2, Refusal::BadAlloc},
                                           StartCase{2, Refusal::NoThread}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// A count no system provides (RAYON_NUM_THREADS=18446744073709551615) gives a
// pool that works, starts only the threads its work can use and reports a
// size that can be divided by.
TEST(WorkerPool, AbsurdCountStartsOnlyWhatTheWorkNeeds) {
  for (const char* text : {"18446744073709551615", "9223372036854775808", "9223372036854775807"}) {
    WorkerPool pool(pool_size_from(text, nullptr, 2));
    EXPECT_EQ(pool.size(), WorkerPool::kMaxThreads) << text;
    std::atomic<std::int64_t> sum{0};
    pool.parallel_for(6, [&](std::int64_t i) {
      pool.parallel_for(3, [&](std::int64_t j) { sum += i * 3 + j; });
    });
    EXPECT_EQ(sum.load(), 18 * 17 / 2) << text;
    EXPECT_GE(pool.started_threads(), 1u) << text;
    EXPECT_LE(pool.started_threads(), 6u + 6u * 2u) << text;
  }
}

// Several callers at once share the threads without going past the limit.
TEST(WorkerPool, ConcurrentCallersStayWithinTheCount) {
  WorkerPool pool(3);
  std::vector<std::thread> callers;
  std::atomic<std::int64_t> sum{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        pool.parallel_for(10, [&](std::int64_t i) { sum += i; });
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(sum.load(), 4 * 20 * 45);
  EXPECT_LE(pool.started_threads(), 3u);
  EXPECT_EQ(pool.size(), 3u);
}

// A fork child gets a pool of its own: the parent's threads do not exist
// there. The child is killed by an alarm if it hangs.
TEST(GlobalPool, ForkChildGetsItsOwnPool) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads started after a multi-threaded fork";
#else
  WorkerPool& parent = WorkerPool::global();
  std::atomic<int> before{0};
  parent.parallel_for(16, [&](std::int64_t) { before++; });
  ASSERT_EQ(before.load(), 16);
  ASSERT_GE(parent.started_threads(), 1u);

  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(20);
    WorkerPool& child = WorkerPool::global();
    std::atomic<int> ran{0};
    child.parallel_for(16, [&](std::int64_t) {
      child.parallel_for(4, [&](std::int64_t) { ran++; });
    });
    _exit(&child != &parent && ran.load() == 64 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The parent keeps its pool.
  EXPECT_EQ(&WorkerPool::global(), &parent);
  std::atomic<int> after{0};
  parent.parallel_for(16, [&](std::int64_t) { after++; });
  EXPECT_EQ(after.load(), 16);
#endif
}

}  // namespace
}  // namespace quillon::mask_engine
