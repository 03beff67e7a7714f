// Masks one Utf8 column of e-mail addresses with each transform and prints
// the results side by side. Uses the engine alone: no Python, no pyarrow.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "arrow_c/array.h"
#include "mask_engine/transform.h"
#include "../bench/utf8_column.h"

using namespace quillon;  // NOLINT(build/namespaces): the layers by their short names

namespace {

// The column's rows as text, nulls as "null".
std::string show(const arrow_c::Array& column) {
  auto view = arrow_c::read_utf8(column);
  if (!view.ok()) return view.error().to_string();
  std::string out = "[";
  for (std::int64_t i = 0; i < view.value().length; ++i) {
    if (i > 0) out += ", ";
    out += view.value().valid(i) ? "\"" + std::string(view.value().value(i)) + "\"" : "null";
  }
  return out + "]";
}

}  // namespace

int main() {
  const arrow_c::ArrayRef emails =
      utf8_column({"alice@example.com", "bob@example.org", "", "carol@example.net"});
  if (!emails) return 1;
  std::printf("input:        %s\n", show(*emails).c_str());
  const struct {
    const char* name;
    mask_engine::Transform transform;
  } kinds[] = {{"hash", mask_engine::Transform::Hash},
               {"redact", mask_engine::Transform::Redact},
               {"null", mask_engine::Transform::Null},
               {"pass_through", mask_engine::Transform::PassThrough}};
  for (const auto& kind : kinds) {
    auto masked = mask_engine::apply(kind.transform, *emails, mask_engine::Key("mykey1"));
    if (!masked.ok()) {
      std::fprintf(stderr, "%s failed: %s\n", kind.name, masked.error().to_string().c_str());
      return 1;
    }
    std::printf("%-13s %s\n", (std::string(kind.name) + ":").c_str(), show(*masked.value()).c_str());
  }
  return 0;
}
