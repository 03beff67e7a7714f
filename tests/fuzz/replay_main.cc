// Runs a fuzz target over files and directories of inputs once each, without
// fuzzing: the regression test of its corpus, built with any compiler.
//   replay [--pending=FILE] INPUT_OR_DIR...
// FILE lists inputs (by file name, the first word of a line; # comments)
// that are skipped and named, since the fix they need is not in yet.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  std::set<std::string> pending;
  const std::string pending_flag = "--pending=";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind(pending_flag, 0) == 0) {
      std::ifstream list(argv[i] + pending_flag.size());
      for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line[0] != '#') pending.insert(line.substr(0, line.find(' ')));
      }
      continue;
    }
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs\n");
    return 1;
  }
  std::size_t skipped = 0;
  for (const auto& path : inputs) {
    if (pending.count(path.filename().string()) != 0) {
      std::fprintf(stderr, "%s: skipped, its fix is pending\n", path.c_str());
      ++skipped;
      continue;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Named before it runs, so a crash report says which input.
    std::fprintf(stderr, "%s\n", path.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed, %zu pending\n", inputs.size() - skipped, skipped);
  return 0;
}
