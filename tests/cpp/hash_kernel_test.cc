// Every kernel and every lane position against one table of expected
// digests from OpenSSL's one-shot HMAC.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keyed_hash/hmac.h"
#include "openssl_oracle.h"

namespace quillon::keyed_hash {
namespace {

const Kernel kAllKernels[] = {Kernel::Portable, Kernel::ShaNi, Kernel::Avx2};

void hash_list(const PreparedKey& key, const Message* msgs, std::size_t n, char* const* outs) {
  MessageList list(msgs, n, outs);
  key.hex_digests(list.source());
}

// A message whose bytes sit in heap blocks of exactly their size, so a
// kernel reading past a head or a tail trips AddressSanitizer.
struct Row {
  std::unique_ptr<char[]> head, tail;
  std::size_t head_size, tail_size;
  std::string expected;

  Row(const std::string& key, std::size_t pos, std::size_t size)
      : head_size(std::to_string(pos).size() + 1) {
    const std::string h = std::to_string(pos) + ":";
    std::string t(size > h.size() ? size - h.size() : 0, '\0');
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<char>('a' + (pos * 7 + i) % 26);
    tail_size = t.size();
    head.reset(new char[head_size]);
    tail.reset(new char[tail_size > 0 ? tail_size : 1]);
    std::copy(h.begin(), h.end(), head.get());
    std::copy(t.begin(), t.end(), tail.get());
    expected = oracle::hmac_sha256(key, h + t);
  }
  Message message() const { return {{head.get(), head_size}, {tail.get(), tail_size}}; }
};

// Message sizes (head included) around every edge: empty tails, the last
// one-block size (55) and the first two-block one (56), whole blocks, and
// three and five blocks.
const std::size_t kSizes[] = {2, 3, 20, 54, 55, 56, 57, 63, 64, 65, 119, 120, 200, 300};

class Lanes : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!kernel_available(GetParam())) GTEST_SKIP() << "not on this CPU";
  }
};

// Batches of many sizes, each rotated so every message of the table lands
// in every lane of short, long and mixed groups;
// guard bytes around each output catch a write past its 64 characters.
TEST_P(Lanes, EveryBatchSizeAndLanePosition) {
  const std::string key = "lane-key";
  const PreparedKey prepared(key, GetParam());
  ASSERT_EQ(prepared.kernel(), GetParam());
  std::vector<std::unique_ptr<Row>> table;
  for (std::size_t i = 0; i < 2 * std::size(kSizes); ++i) {
    table.push_back(std::make_unique<Row>(key, i, kSizes[i % std::size(kSizes)]));
  }
  constexpr std::size_t kGuard = 8;
  constexpr std::size_t kSlot = kHexDigestLength + 2 * kGuard;
  // Every size up to three groups and a bit, and sizes past the 32-message
  // batches the SHA-NI kernel pads short messages in.
  std::vector<std::size_t> batch_sizes = {33, 64, 71};
  for (std::size_t n = 0; n <= 3 * prepared.lanes() + 3; ++n) batch_sizes.push_back(n);
  for (std::size_t n : batch_sizes) {
    for (std::size_t shift = 0; shift < table.size(); ++shift) {
      std::vector<Message> msgs;
      std::vector<char> buffer(n * kSlot, '#');
      std::vector<char*> outs;
      for (std::size_t i = 0; i < n; ++i) {
        msgs.push_back(table[(i + shift) % table.size()]->message());
        outs.push_back(buffer.data() + i * kSlot + kGuard);
      }
      hash_list(prepared, msgs.data(), n, outs.data());
      for (std::size_t i = 0; i < n; ++i) {
        const Row& row = *table[(i + shift) % table.size()];
        ASSERT_EQ(std::string(outs[i], kHexDigestLength), row.expected)
            << "batch " << n << " shift " << shift << " lane " << i << " size "
            << row.head_size + row.tail_size;
        ASSERT_EQ(std::string(outs[i] - kGuard, kGuard), std::string(kGuard, '#'));
        ASSERT_EQ(std::string(outs[i] + kHexDigestLength, kGuard), std::string(kGuard, '#'));
      }
    }
  }
}

// Long messages of different block counts in one group: lanes that finish
// their inner hash early must keep their state while the others go on.
TEST_P(Lanes, LongMessagesOfDifferentBlockCountsShareAGroup) {
  const std::string key(100, 'K');  // longer than a block: hashed first
  const PreparedKey prepared(key, GetParam());
  const std::size_t sizes[] = {56, 300, 64, 119, 120, 183, 184, 250, 57, 128};
  std::vector<std::unique_ptr<Row>> rows;
  std::vector<Message> msgs;
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    rows.push_back(std::make_unique<Row>(key, 1000 + i, sizes[i]));
    msgs.push_back(rows.back()->message());
  }
  std::vector<std::string> outs(msgs.size(), std::string(kHexDigestLength, '\0'));
  std::vector<char*> out_ptrs;
  for (auto& o : outs) out_ptrs.push_back(o.data());
  hash_list(prepared, msgs.data(), msgs.size(), out_ptrs.data());
  for (std::size_t i = 0; i < msgs.size(); ++i) EXPECT_EQ(outs[i], rows[i]->expected) << sizes[i];
}

// One key object serves several threads at once (run under ThreadSanitizer
// too).
TEST_P(Lanes, SharedKeyGivesTheSameDigestsOnEveryThread) {
  const std::string key = "shared";
  const PreparedKey prepared(key, GetParam());
  std::vector<std::unique_ptr<Row>> rows;
  std::vector<Message> msgs;
  for (std::size_t i = 0; i < 200; ++i) {
    rows.push_back(std::make_unique<Row>(key, i, kSizes[i % std::size(kSizes)]));
    msgs.push_back(rows.back()->message());
  }
  std::vector<std::string> outs[2];
  auto work = [&](std::vector<std::string>& out) {
    out.assign(msgs.size(), std::string(kHexDigestLength, '\0'));
    std::vector<char*> ptrs;
    for (auto& o : out) ptrs.push_back(o.data());
    for (int rep = 0; rep < 20; ++rep) hash_list(prepared, msgs.data(), msgs.size(), ptrs.data());
  };
  std::thread a(work, std::ref(outs[0])), b(work, std::ref(outs[1]));
  a.join();
  b.join();
  for (std::size_t i = 0; i < msgs.size(); ++i) {
    EXPECT_EQ(outs[0][i], rows[i]->expected);
    EXPECT_EQ(outs[1][i], rows[i]->expected);
  }
}

// Messages a source adds as the kernel pulls them, "<n>:" heads of 2 to 20
// bytes from a buffer the source scribbles over after each add, values of
// every one-block size and some longer: any total (odd, even, past several
// pulls and past the room for long messages), each digest in its own slot.
struct Pulled {
  std::vector<std::string> messages;
  std::vector<std::size_t> head_sizes;
  std::vector<std::string> outs;
  std::size_t total = 0, next = 0;

  static Pull fill(void* self, Pull pull) {
    auto& p = *static_cast<Pulled*>(self);
    for (; p.next < p.total; ++p.next) {
      if (pull.full()) return pull;
      const std::string& m = p.messages[p.next];
      const std::size_t h = p.head_sizes[p.next];
      char head[kHeadBytes] = {};
      std::memcpy(head, m.data(), h);
      pull.add(head, h, std::string_view(m).substr(h), p.outs[p.next].data());
      std::memset(head, '!', sizeof(head));
    }
    pull.end();
    return pull;
  }
};

TEST_P(Lanes, PulledMessages) {
  const std::string key = "pull-key";
  const PreparedKey prepared(key, GetParam());
  Pulled p;
  for (std::size_t head = 2; head <= 20; head += 6) {
    for (std::size_t size = head; size <= kOneBlockMax + 70; size += size < kOneBlockMax ? 1 : 3) {
      std::string m(size, '\0');
      for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<char>(i < head - 1 ? '0' + (size + i) % 10 : 'a' + i % 26);
      m[head - 1] = ':';
      p.messages.push_back(m);
      p.head_sizes.push_back(head);
    }
  }
  // The whole set holds more long messages than their room, so it fills
  // mid-pull.
  std::vector<std::size_t> totals = {0, 1, 2, 3, 7, 8, 9, 16, 17, 31, 40, 64, p.messages.size()};
  for (std::size_t total : totals) {
    p.total = total;
    p.next = 0;
    p.outs.assign(total, std::string(kHexDigestLength + 1, '#'));
    prepared.hex_digests({&Pulled::fill, &p});
    for (std::size_t i = 0; i < total; ++i) {
      EXPECT_EQ(p.outs[i].substr(0, kHexDigestLength), oracle::hmac_sha256(key, p.messages[i]))
          << "total " << total << " message " << i << " size " << p.messages[i].size();
      EXPECT_EQ(p.outs[i].back(), '#');
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Lanes, ::testing::ValuesIn(kAllKernels), [](const auto& info) {
  std::string name = kernel_name(info.param);
  name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
  return name;
});

TEST(KernelChoice, ForcedKernelServesOnlyWhenAvailable) {
  EXPECT_TRUE(kernel_available(Kernel::Portable));
  for (Kernel k : kAllKernels) {
    const PreparedKey key("k", k);
    EXPECT_EQ(key.kernel(), kernel_available(k) ? k : Kernel::Portable) << kernel_name(k);
  }
  EXPECT_EQ(PreparedKey("k", Kernel::Portable).lanes(), 1u);
  // The default is the widest-serving kernel the CPU has.
  const Kernel expected = kernel_available(Kernel::ShaNi)  ? Kernel::ShaNi
                          : kernel_available(Kernel::Avx2) ? Kernel::Avx2
                                                           : Kernel::Portable;
  EXPECT_EQ(PreparedKey("k").kernel(), expected);
}

}  // namespace
}  // namespace quillon::keyed_hash
