// Messages pulled by a kernel from a caller's source (PreparedKey::hex_digests).
//
// The kernel hands the source a Pull with room for a few messages; the
// source adds messages until full() or until it has none left. A message of
// at most kOneBlockMax bytes is padded into its block as it is added, so the
// kernel reads it straight from there; a longer one is kept whole among the
// pull's long messages, which the kernel gathers over several pulls and
// hashes in groups of their own. Each message comes with its output slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "keyed_hash/short_block.h"

namespace quillon::keyed_hash {

// One message as two parts hashed as their concatenation, so callers need
// not compose "position:value" in a temporary.
struct Message {
  std::string_view head;
  std::string_view tail;
};

// The one padded block of a message of at most kOneBlockMax bytes: head,
// tail, 0x80, zeros, bit length of key block and message.
inline void build_short_block(const Message& m, std::uint8_t* block) {
  const std::size_t n = m.head.size() + m.tail.size();
  std::memset(block, 0, kBlock);
  copy_short(block, m.head.data(), m.head.size());
  copy_short(block + m.head.size(), m.tail.data(), m.tail.size());
  block[n] = 0x80;
  const std::uint32_t bits = static_cast<std::uint32_t>((kBlock + n) * 8);
  block[kBlock - 2] = static_cast<std::uint8_t>(bits >> 8);
  block[kBlock - 1] = static_cast<std::uint8_t>(bits);
}

// Messages longer than one block, kept by the kernel across pulls. Heads
// the source may reuse are copied into `heads`.
struct LongMessages {
  static constexpr std::size_t kRoom = 32;
  Message msgs[kRoom];
  char* outs[kRoom];
  char heads[kRoom][kHeadBytes];
  std::size_t size = 0;

  bool full() const { return size == kRoom; }

 private:
  friend class Pull;
  // The padded blocks and their outputs of the pull out now: kept here, so
  // the Pull itself is small enough to travel in registers.
  std::uint8_t (*blocks_)[kBlock] = nullptr;
  char** block_outs_ = nullptr;
};

// A small value the source fills and hands back: kept in the source's
// registers while it adds, since the stores that pad a block may alias any
// memory. It is passed and returned in two registers (see the check below).
class Pull {
 public:
  // Made by a kernel: room for `block_room` padded messages at `blocks`
  // (at most kMaxBlockRoom are used), their outputs at `outs`, and
  // whatever room `longs` has left. `longs` keeps where the blocks go
  // until the next pull is made with it.
  static constexpr std::size_t kMaxBlockRoom = 0xffff;
  Pull(std::uint8_t (*blocks)[kBlock], char** outs, std::size_t block_room, LongMessages& longs)
      : longs_(&longs),
        block_room_(static_cast<std::uint16_t>(block_room < kMaxBlockRoom ? block_room : kMaxBlockRoom)),
        long_size_(static_cast<std::uint16_t>(longs.size)) {
    longs.blocks_ = blocks;
    longs.block_outs_ = outs;
  }

  // No room for one more message of either kind.
  bool full() const { return shorts_ == block_room_ || long_size_ == LongMessages::kRoom; }

  // head + tail, where `head` is kHeadBytes bytes: head_size bytes of head,
  // zeros after (pad_short_block); the head is copied, so the caller may
  // reuse its buffer at once. Only when !full().
  void add(const char* head, std::size_t head_size, std::string_view tail, char* out) {
    if (head_size + tail.size() <= kOneBlockMax) {
      std::uint8_t* block = longs_->blocks_[shorts_];
      longs_->block_outs_[shorts_++] = out;
      pad_short_block(head, head_size, tail.data(), tail.size(), block);
      return;
    }
    std::memcpy(longs_->heads[long_size_], head, kHeadBytes);
    add_long({{longs_->heads[long_size_], head_size}, tail}, out);
  }

  // A message of any split whose parts stay valid until hex_digests()
  // returns. Only when !full().
  void add(const Message& m, char* out) {
    if (m.head.size() + m.tail.size() > kOneBlockMax) return add_long(m, out);
    std::uint8_t* block = longs_->blocks_[shorts_];
    longs_->block_outs_[shorts_++] = out;
    build_short_block(m, block);
  }

  // The source has no messages left.
  void end() { ended_ = true; }

  // For the kernel, on the pull handed back: padded messages added (the
  // first ones at `blocks`), long ones now held in `longs`, and whether the
  // source ran out.
  std::size_t shorts() const { return shorts_; }
  std::size_t longs() const { return long_size_; }
  bool ended() const { return ended_; }

 private:
  void add_long(const Message& m, char* out) {
    longs_->msgs[long_size_] = m;
    longs_->outs[long_size_++] = out;
  }

  LongMessages* longs_;
  std::uint16_t shorts_ = 0;
  std::uint16_t block_room_;
  std::uint16_t long_size_;
  bool ended_ = false;
};

// Past 16 bytes, or not trivially copyable, a Pull would travel through
// the stack; the kernel's copy of it there, loaded wider than it was
// stored, waited for the hashing before the call to retire, so the source
// no longer read ahead while the SHA unit worked.
static_assert(sizeof(Pull) <= 16 && std::is_trivially_copyable_v<Pull>);

// A caller's messages: fill() adds to `pull` until pull.full() or until it
// has none left (then it calls pull.end()), and hands the pull back. A call
// after the end adds nothing.
struct MessageSource {
  Pull (*fill)(void* context, Pull pull);
  void* context;
};

// A source over messages already in memory: msgs[i]'s digest goes to
// outs[i].
class MessageList {
 public:
  MessageList(const Message* msgs, std::size_t n, char* const* outs) : msgs_(msgs), n_(n), outs_(outs) {}
  MessageSource source() { return {&fill_from, this}; }

 private:
  static Pull fill_from(void* self, Pull pull) {
    auto& list = *static_cast<MessageList*>(self);
    for (; list.next_ < list.n_; ++list.next_) {
      if (pull.full()) return pull;
      pull.add(list.msgs_[list.next_], list.outs_[list.next_]);
    }
    pull.end();
    return pull;
  }

  const Message* msgs_;
  std::size_t n_;
  char* const* outs_;
  std::size_t next_ = 0;
};

}  // namespace quillon::keyed_hash
