#include "mask_engine/diag.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace quillon::mask_engine::diag {
namespace {

struct Installed {
  Receiver receiver;
  Filter filter;
};

// Readers take a counted reference, so a receiver replaced while another
// thread is delivering stays alive until that delivery ends.
std::mutex g_mutex;
std::shared_ptr<const Installed> g_installed;
std::atomic<bool> g_any{false};

std::shared_ptr<const Installed> current() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_installed;
}

}  // namespace

void set_receiver(Receiver receiver, Filter filter) {
  auto next = std::make_shared<const Installed>(Installed{std::move(receiver), std::move(filter)});
  std::lock_guard<std::mutex> lock(g_mutex);
  g_installed = std::move(next);
  g_any.store(true, std::memory_order_release);
}

void clear_receiver() {
  std::shared_ptr<const Installed> old;
  std::lock_guard<std::mutex> lock(g_mutex);
  old.swap(g_installed);
  g_any.store(false, std::memory_order_release);
}

bool enabled(Level level, std::string_view target) {
  if (!g_any.load(std::memory_order_acquire)) return false;
  auto installed = current();
  if (!installed) return false;
  const auto& filter = installed->filter;
  auto it = filter.per_target.find(target);
  const int max = it == filter.per_target.end() ? filter.default_level : static_cast<int>(it->second);
  return static_cast<int>(level) <= max;
}

void dispatch(Event&& event) {
  auto installed = current();
  if (installed && installed->receiver) installed->receiver(event);
}

}  // namespace quillon::mask_engine::diag
