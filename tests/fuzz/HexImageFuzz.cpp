// Fuzzes the load of a whole image, LoadImageLines, with any lines: the image
// must be what a plain reading of the records gives, applied in order over
// 0xFF, and the progress maximum must become the largest record start
// address read, and never go down.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "HexReference.h"
#include "IntelHex.h"

namespace {

using fuzzref::kImageBytes;

constexpr std::uint8_t kFill = 0xA5;

[[noreturn]] void Fault(const std::string& what, std::string_view text) {
  std::fprintf(stderr, "image load: %s; lines \"%.*s\"\n", what.c_str(),
               static_cast<int>(std::min<std::size_t>(text.size(), 2000)), text.data());
  std::abort();
}

void SeveralLines(std::string_view text, std::int32_t maximum, bool asViews) {
  std::vector<std::string> lines;
  std::vector<std::string_view> views;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string_view::npos) stop = text.size();
    lines.emplace_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  for (const std::string& l : lines) views.emplace_back(l);

  std::vector<std::uint8_t> want(kImageBytes, 0xFF);
  std::int32_t wantMaximum = maximum;
  for (std::string_view l : views) {
    const fuzzref::Record r = fuzzref::ReadRecord(l);
    if (!r.address) continue;
    std::copy(r.data.begin(), r.data.end(), want.begin() + static_cast<std::ptrdiff_t>(*r.address));
    wantMaximum = std::max(wantMaximum, static_cast<std::int32_t>(*r.address));
  }

  std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[kImageBytes]);
  std::memset(image.get(), kFill, kImageBytes);
  std::int32_t got = maximum;
  const std::span<std::uint8_t, kImageBytes> out(image.get(), kImageBytes);
  if (asViews) {
    upgrade::LoadImageLines(std::span<const std::string_view>(views), out, got);
  } else {
    upgrade::LoadImageLines(std::span<const std::string>(lines), out, got);
  }
  if (got < maximum) Fault("the maximum went down from " + std::to_string(maximum), text);
  if (got != wantMaximum) {
    Fault("the maximum is " + std::to_string(got) + ", expected " + std::to_string(wantMaximum),
          text);
  }
  if (std::memcmp(image.get(), want.data(), kImageBytes) != 0) {
    std::size_t a = 0;
    while (image[a] == want[a]) ++a;
    Fault("address " + std::to_string(a) + " holds " + std::to_string(image[a]) + ", expected " +
              std::to_string(want[a]),
          text);
  }
}

}  // namespace

// The first byte: bit 0 passes the lines as views rather than strings, bit 1
// takes the next four bytes as any maximum at all rather than one a progress
// bar may hold. The rest: lines separated by LF.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint8_t how = data[0];
  std::uint32_t raw = 0;
  for (std::size_t i = 1; i < 5; ++i) raw = raw << 8 | data[i];
  const auto maximum = (how & 2) != 0 ? static_cast<std::int32_t>(raw)
                                      : static_cast<std::int32_t>(raw % 0x20000) - 0x100;
  SeveralLines(std::string_view(reinterpret_cast<const char*>(data + 5), size - 5), maximum,
               (how & 1) != 0);
  return 0;
}
