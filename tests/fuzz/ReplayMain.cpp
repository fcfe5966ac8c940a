// Runs a fuzz target's checks on saved inputs, without libFuzzer: for builds
// with another compiler or sanitizer (ThreadSanitizer cannot share a program
// with libFuzzer's coverage counters). Each argument is an input file or a
// folder of them; a failed check aborts, as under the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// A target without an initialisation of its own gets this one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  std::fprintf(stderr, "Running: %s\n", path.string().c_str());
  LLVMFuzzerTestOneInput(data.data(), data.size());
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (!entry.is_regular_file()) continue;
        RunFile(entry.path());
        ++inputs;
      }
    } else {
      RunFile(path);
      ++inputs;
    }
  }
  std::fprintf(stderr, "%d inputs passed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
