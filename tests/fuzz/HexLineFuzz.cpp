// Fuzzes the Intel HEX line load with any line: StoreHexLine must write only
// inside the record's own bytes (everything else of the 65,536-byte image is
// poisoned for AddressSanitizer while it runs) and store exactly what a plain
// reading of the record gives.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "HexReference.h"
#include "IntelHex.h"

namespace {

using fuzzref::kImageBytes;

constexpr std::uint8_t kFill = 0xA5;

// A heap block of exactly the image's size: a write past either end meets
// AddressSanitizer's red zones.
std::uint8_t* LineImage() {
  static std::uint8_t* image = [] {
    auto* p = new std::uint8_t[kImageBytes];
    std::memset(p, kFill, kImageBytes);
    return p;
  }();
  return image;
}

[[noreturn]] void Fault(const std::string& what, std::string_view line) {
  std::fprintf(stderr, "hex line load: %s; line \"%.*s\"\n", what.c_str(),
               static_cast<int>(std::min<std::size_t>(line.size(), 600)), line.data());
  std::abort();
}

void OneLine(std::string_view line) {
  std::uint8_t* image = LineImage();
  const fuzzref::Record expected = fuzzref::ReadRecord(line);
  const std::size_t begin = expected.address.value_or(0);
  const std::size_t end = begin + expected.data.size();

  // Only the bytes the record may store stay writable. The shadow memory
  // works in 8-byte granules, so up to 7 bytes before the record stay
  // writable as well; their content is compared afterwards.
  ASAN_POISON_MEMORY_REGION(image, begin);
  ASAN_POISON_MEMORY_REGION(image + end, kImageBytes - end);
  const std::optional<std::uint16_t> got =
      upgrade::StoreHexLine(line, std::span<std::uint8_t, kImageBytes>(image, kImageBytes));
  ASAN_UNPOISON_MEMORY_REGION(image, kImageBytes);

  if (got.has_value() != expected.address.has_value() ||
      (got && static_cast<std::size_t>(*got) != *expected.address)) {
    Fault("returned " + (got ? std::to_string(*got) : std::string("nothing")) + ", expected " +
              (expected.address ? std::to_string(*expected.address) : std::string("nothing")),
          line);
  }
  for (std::size_t a = begin & ~std::size_t{7}; a < begin; ++a) {
    if (image[a] != kFill) Fault("wrote before the record at " + std::to_string(a), line);
  }
  for (std::size_t j = 0; j < expected.data.size(); ++j) {
    if (image[begin + j] != expected.data[j]) {
      Fault("address " + std::to_string(begin + j) + " holds " + std::to_string(image[begin + j]) +
                ", expected " + std::to_string(expected.data[j]),
            line);
    }
  }
  std::memset(image + begin, kFill, end - begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  OneLine(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
