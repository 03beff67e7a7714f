// Diagnostic events: a small process-wide facility for warnings the engine
// emits without failing (the null fallback of a column).
//
// No receiver is installed by default: an event is then dropped before any
// of its fields is formatted, and nothing is printed. A receiver installed
// with a level filter per target gets every event its filter enables. Events
// may be emitted from several threads at once; the receiver is called on the
// emitting thread and must be thread-safe itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon::mask_engine::diag {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Field {
  std::string_view name;
  std::string value;
};

struct Event {
  Level level;
  std::string_view target;
  std::string_view module_path;
  std::string_view file;
  int line;
  std::vector<Field> fields;  // in the order the call site names them
};

using Receiver = std::function<void(const Event&)>;

struct Filter {
  // Most verbose level delivered for a target; targets not listed get
  // `default_level`. Level 0 (no level) delivers nothing.
  std::map<std::string, Level, std::less<>> per_target;
  int default_level = static_cast<int>(Level::Warn);
};

// Installs (replaces) the process's receiver.
void set_receiver(Receiver receiver, Filter filter = {});
// Removes it; events are dropped again.
void clear_receiver();

// Whether an event of `level` for `target` would be delivered. Cheap when no
// receiver is installed: one atomic load.
bool enabled(Level level, std::string_view target);

// Delivers an event; call only after enabled() said yes, so fields are
// formatted only for a receiver that takes them.
void dispatch(Event&& event);

}  // namespace quillon::mask_engine::diag

// Emits an event whose field values are evaluated only when the event is
// enabled: QM_EVENT(Warn, "target", {"message", text}, {"column", name}).
#define QM_EVENT(level, target, ...)                                                    \
  do {                                                                                  \
    if (::quillon::mask_engine::diag::enabled(::quillon::mask_engine::diag::Level::level, target)) {      \
      ::quillon::mask_engine::diag::dispatch(::quillon::mask_engine::diag::Event{                         \
          ::quillon::mask_engine::diag::Level::level, target, target, __FILE__, __LINE__,        \
          std::vector<::quillon::mask_engine::diag::Field>{__VA_ARGS__}});                       \
    }                                                                                   \
  } while (false)
