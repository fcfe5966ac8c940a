// A plain reading of one Intel HEX line as the tool's loader is meant to
// take it, for the fuzz targets to compare against: count in characters 2-3,
// address in 4-7, data from character 10 on, either case; stored bytes stop
// at the first unreadable pair or at the end of the 64 KiB address space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace fuzzref {

inline constexpr std::size_t kImageBytes = 65536;

struct Record {
  // Nothing when the count or the address cannot be read.
  std::optional<std::size_t> address;
  // The bytes the line stores, from address on.
  std::vector<std::uint8_t> data;
};

inline int Nibble(char c) {
  if ('0' <= c && c <= '9') return c - '0';
  if ('a' <= c && c <= 'f') return c - 'a' + 10;
  if ('A' <= c && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The number in n hex digits at pos, or -1.
inline long Field(std::string_view s, std::size_t pos, std::size_t n) {
  if (s.size() < pos + n) return -1;
  long v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    const int d = Nibble(s[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

inline Record ReadRecord(std::string_view line) {
  Record r;
  const long count = Field(line, 1, 2);
  const long address = Field(line, 3, 4);
  if (count < 0 || address < 0) return r;
  r.address = static_cast<std::size_t>(address);
  for (long j = 0; j < count && static_cast<std::size_t>(address + j) < kImageBytes; ++j) {
    const long byte = Field(line, 9 + 2 * static_cast<std::size_t>(j), 2);
    if (byte < 0) break;
    r.data.push_back(static_cast<std::uint8_t>(byte));
  }
  return r;
}

}  // namespace fuzzref
