// The image the tool carries, read with a parser of the test's own, and the
// buffer our loader makes of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "EmbeddedImage.h"
#include "IntelHex.h"

namespace {

struct Record {
  unsigned count = 0;
  unsigned address = 0;
  unsigned type = 0;
  std::vector<std::uint8_t> data;
  unsigned byteSum = 0;  // count to checksum, all bytes
};

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

unsigned Byte(std::string_view s, std::size_t pos) {
  return static_cast<unsigned>(std::stoul(std::string(s.substr(pos, 2)), nullptr, 16));
}

// Parses a well-formed upper-case record; fails the test otherwise.
Record Parse(std::string_view line) {
  Record r;
  EXPECT_GE(line.size(), 11u) << line;
  EXPECT_EQ(line[0], ':') << line;
  EXPECT_TRUE(std::all_of(line.begin() + 1, line.end(), IsUpperHex)) << line;
  EXPECT_EQ(line.size() % 2, 1u) << line;
  if (line.size() < 11 || line.size() % 2 == 0) return r;
  r.count = Byte(line, 1);
  r.address = Byte(line, 3) * 256 + Byte(line, 5);
  r.type = Byte(line, 7);
  EXPECT_EQ(line.size(), 11 + 2 * r.count) << line;
  for (std::size_t pos = 1; pos < line.size(); pos += 2) r.byteSum += Byte(line, pos);
  for (unsigned j = 0; j < r.count && 11 + 2 * j < line.size(); ++j)
    r.data.push_back(static_cast<std::uint8_t>(Byte(line, 9 + 2 * j)));
  return r;
}

std::vector<std::string> Lines() {
  const auto lines = resources::EmbeddedImageLines();
  return {lines.begin(), lines.end()};
}

// A programming line as the bootloader receives it, built here independently.
std::string BlockLine(const std::array<std::uint8_t, upgrade::kImageSize>& image, unsigned a) {
  char buf[16];
  unsigned sum = 0x10 + (a >> 8) + (a & 0xFF);
  std::snprintf(buf, sizeof buf, ":10%04X00", a);
  std::string line = buf;
  for (unsigned i = 0; i < 16; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", image[a + i]);
    line += buf;
    sum += image[a + i];
  }
  std::snprintf(buf, sizeof buf, "%02X", (256 - sum % 256) % 256);
  return line + buf;
}

TEST(EmbeddedImage, RecordsHaveTheCarriedShape) {
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2086u);
  EXPECT_EQ(lines.front(), ":10519A003030303000000000000055CC33AA000047");
  EXPECT_EQ(lines.back(), ":00000001FF");
  EXPECT_EQ(lines[lines.size() - 2], ":01555C00004E");
  EXPECT_NE(std::find(lines.begin(), lines.end(), ":03788C00A2B52280"), lines.end());

  std::array<int, upgrade::kImageSize> covered{};
  std::vector<unsigned> starts;
  int dataRecords = 0, full = 0, partial = 0, oversized = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Record r = Parse(lines[i]);
    EXPECT_EQ(r.byteSum % 256, 0u) << "checksum, line " << i + 1;
    if (i + 1 == lines.size()) {
      EXPECT_EQ(r.type, 1u);
      continue;
    }
    EXPECT_EQ(r.type, 0u) << "line " << i + 1;
    ++dataRecords;
    if (r.count == 16) ++full;
    if (r.count >= 1 && r.count <= 15) ++partial;
    if (r.count > 16) ++oversized;
    ASSERT_LE(r.address + r.count, upgrade::kImageSize) << "line " << i + 1;
    for (unsigned j = 0; j < r.count; ++j) ++covered[r.address + j];
    starts.push_back(r.address);
  }
  EXPECT_EQ(dataRecords, 2085);
  EXPECT_EQ(full, 1847);
  EXPECT_EQ(partial, 238);
  EXPECT_EQ(oversized, 0);
  EXPECT_FALSE(std::is_sorted(starts.begin(), starts.end()));
  EXPECT_EQ(*std::max_element(starts.begin(), starts.end()), 0x788Cu);

  int bytes = 0;
  for (std::size_t a = 0; a < covered.size(); ++a) {
    EXPECT_LE(covered[a], 1) << "address " << a << " covered twice";
    const bool wanted = a <= 0x0010 || (a >= 0x0013 && a <= 0x788E);
    EXPECT_EQ(covered[a] > 0, wanted) << "address " << a;
    bytes += covered[a];
  }
  EXPECT_EQ(bytes, 30861);
}

TEST(EmbeddedImage, LoadedBufferHoldsTheProgram) {
  const auto lines = Lines();
  std::array<std::uint8_t, upgrade::kImageSize> image;
  std::int32_t progressMax = 100;
  upgrade::LoadImageLines(lines, image, progressMax);
  EXPECT_EQ(progressMax, 30860);

  std::vector<unsigned> blocks;
  for (unsigned a = 0; a < upgrade::kImageSize; a += 16) {
    if (std::any_of(image.begin() + a, image.begin() + a + 16, [](auto b) { return b != 0xFF; }))
      blocks.push_back(a);
  }
  ASSERT_EQ(blocks.size(), 1929u);
  EXPECT_EQ(blocks.front(), 0x0000u);
  EXPECT_EQ(blocks.back(), 0x7880u);  // with 1,929 blocks: every one in between
  EXPECT_EQ(BlockLine(image, 0x0000), ":10000000026921026FFEEF5403FF220276C0C2AFE5");
  EXPECT_EQ(BlockLine(image, 0x7880), ":107880007322E4FF0FBF08FC22D2AF22A2B522FF71");

  for (unsigned vector : {0x0000u, 0x0003u, 0x000Bu, 0x0013u, 0x0023u})
    EXPECT_EQ(image[vector], 0x02) << "no long jump at " << vector;

  EXPECT_EQ((std::array{image[0], image[1], image[2]}),
            (std::array<std::uint8_t, 3>{0x02, 0x69, 0x21}));
  EXPECT_EQ(image[0x0011], 0xFF);
  EXPECT_EQ(image[0x0012], 0xFF);
  const std::array<std::uint8_t, 16> at519A{0x30, 0x30, 0x30, 0x30, 0,    0,    0, 0,
                                            0,    0,    0x55, 0xCC, 0x33, 0xAA, 0, 0};
  EXPECT_TRUE(std::equal(at519A.begin(), at519A.end(), image.begin() + 0x519A));
  EXPECT_EQ((std::array{image[0x788C], image[0x788D], image[0x788E]}),
            (std::array<std::uint8_t, 3>{0xA2, 0xB5, 0x22}));
  EXPECT_TRUE(std::all_of(image.begin() + 0x788F, image.end(), [](auto b) { return b == 0xFF; }));
}

TEST(EmbeddedImage, SecondLoadGivesTheSameBufferAndMaximum) {
  const auto lines = Lines();
  std::array<std::uint8_t, upgrade::kImageSize> first, second;
  std::int32_t progressMax = 100;
  upgrade::LoadImageLines(lines, first, progressMax);
  EXPECT_EQ(progressMax, 30860);

  // Whatever the buffer held before: a pattern, and the first load's result.
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<std::uint8_t>(i * 7 + 3);
  upgrade::LoadImageLines(lines, second, progressMax);
  EXPECT_EQ(first, second);
  EXPECT_EQ(progressMax, 30860);
  upgrade::LoadImageLines(lines, second, progressMax);
  EXPECT_EQ(first, second);
  EXPECT_EQ(progressMax, 30860);

  // The string_view overload, fed the embedded lines directly, agrees.
  std::int32_t viewMax = 100;
  upgrade::LoadImageLines(resources::EmbeddedImageLines(), second, viewMax);
  EXPECT_EQ(first, second);
  EXPECT_EQ(viewMax, 30860);
}

}  // namespace
