// Masks one Utf8 column of e-mail addresses with each transform and prints
// the results side by side.
#include <arrow/api.h>

#include <cstdio>
#include <string>

#include "mask_engine/transform.h"

int main() {
  arrow::StringBuilder builder;
  for (const char* email : {"alice@example.com", "bob@example.org", "", "carol@example.net"}) {
    if (!builder.Append(email).ok()) return 1;
  }
  if (!builder.AppendNull().ok()) return 1;
  std::shared_ptr<arrow::Array> emails;
  if (!builder.Finish(&emails).ok()) return 1;

  std::printf("input:        %s\n", emails->ToString().c_str());
  const struct {
    const char* name;
    mask_engine::Transform transform;
  } kinds[] = {{"hash", mask_engine::Transform::Hash},
               {"redact", mask_engine::Transform::Redact},
               {"null", mask_engine::Transform::Null},
               {"pass_through", mask_engine::Transform::PassThrough}};
  for (const auto& kind : kinds) {
    auto masked = mask_engine::apply(kind.transform, emails, mask_engine::Key("mykey1"));
    if (!masked.ok()) {
      std::fprintf(stderr, "%s failed: %s\n", kind.name, masked.error().to_string().c_str());
      return 1;
    }
    std::printf("%-13s %s\n", (std::string(kind.name) + ":").c_str(),
                masked.value()->ToString().c_str());
  }
  return 0;
}
