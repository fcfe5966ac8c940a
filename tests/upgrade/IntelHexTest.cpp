#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "IntelHex.h"

namespace {

using Image = std::array<std::uint8_t, upgrade::kImageSize>;

// A line in a heap block of exactly its length, so that a read past its end
// is caught by the address sanitizer.
class ExactLine {
 public:
  explicit ExactLine(std::string_view text) : size_(text.size()), data_(new char[text.size()]) {
    std::memcpy(data_.get(), text.data(), size_);
  }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> data_;
};

Image Filled(std::uint8_t value) {
  Image image;
  image.fill(value);
  return image;
}

bool AllEqual(const Image& image, std::size_t from, std::size_t to, std::uint8_t value) {
  return std::all_of(image.begin() + from, image.begin() + to, [=](auto b) { return b == value; });
}

TEST(IntelHex, LoadFillsStoresAndRaisesMaximum) {
  const std::vector<std::string> lines = {
      ":0300300002337A1E",  // 3 bytes at 0x0030
      ":02100000AABB89",    // 2 bytes at 0x1000
      ":0100300055FF",      // later record wins at 0x0030; wrong checksum ignored
      ":00000001FF",
  };
  Image image = Filled(0x5A);
  std::int32_t progressMax = 100;
  upgrade::LoadImageLines(lines, image, progressMax);
  EXPECT_EQ(progressMax, 0x1000);
  EXPECT_EQ(image[0x0030], 0x55);
  EXPECT_EQ(image[0x0031], 0x33);
  EXPECT_EQ(image[0x0032], 0x7A);
  EXPECT_EQ(image[0x1000], 0xAA);
  EXPECT_EQ(image[0x1001], 0xBB);
  image[0x0030] = image[0x0031] = image[0x0032] = image[0x1000] = image[0x1001] = 0xFF;
  EXPECT_TRUE(AllEqual(image, 0, image.size(), 0xFF));

  // The maximum is never lowered, and the end-of-file record's address 0
  // never raises it.
  std::int32_t high = 0x2000;
  upgrade::LoadImageLines(lines, image, high);
  EXPECT_EQ(high, 0x2000);
  std::int32_t low = 0;
  upgrade::LoadImageLines(std::vector<std::string>{":00000001FF"}, image, low);
  EXPECT_EQ(low, 0);
}

TEST(IntelHex, EndOfFileRecordAndWrongChecksum) {
  Image image = Filled(0x11);
  EXPECT_EQ(upgrade::StoreHexLine(":00000001FF", image), 0);
  EXPECT_TRUE(AllEqual(image, 0, image.size(), 0x11));

  // The record checksum is not examined: stored all the same.
  EXPECT_EQ(upgrade::StoreHexLine(":02000400C0DE00", image), 0x0004);
  EXPECT_EQ(image[0x0004], 0xC0);
  EXPECT_EQ(image[0x0005], 0xDE);
  // Nor are the colon and the type.
  EXPECT_EQ(upgrade::StoreHexLine("x01000704AB00", image), 0x0007);
  EXPECT_EQ(image[0x0007], 0xAB);
}

TEST(IntelHex, LowerCaseDigitsReadLikeUpperCase) {
  Image lower = Filled(0xFF), upper = Filled(0xFF);
  EXPECT_EQ(upgrade::StoreHexLine(":04abcd00deadbeef00", lower), 0xABCD);
  EXPECT_EQ(upgrade::StoreHexLine(":04ABCD00DEADBEEF00", upper), 0xABCD);
  EXPECT_EQ(lower, upper);
  EXPECT_EQ(lower[0xABCD], 0xDE);
  EXPECT_EQ(lower[0xABD0], 0xEF);
}

TEST(IntelHex, ShortLineStoresOnlyWhatItHolds) {
  Image image = Filled(0x00);
  // Announces 16 bytes, holds 2 and half of a third.
  const ExactLine line(":10200000AABBC");
  EXPECT_EQ(upgrade::StoreHexLine(line.view(), image), 0x2000);
  EXPECT_EQ(image[0x2000], 0xAA);
  EXPECT_EQ(image[0x2001], 0xBB);
  EXPECT_TRUE(AllEqual(image, 0x2002, image.size(), 0x00));
  EXPECT_TRUE(AllEqual(image, 0, 0x2000, 0x00));

  // Count present, but no room for the type or the data at all.
  const ExactLine bare(":0530");
  EXPECT_EQ(upgrade::StoreHexLine(bare.view(), image), std::nullopt);
  const ExactLine noData(":05300000");
  EXPECT_EQ(upgrade::StoreHexLine(noData.view(), image), 0x3000);
  EXPECT_TRUE(AllEqual(image, 0x2002, image.size(), 0x00));
}

TEST(IntelHex, NonHexDigitStopsTheRecordThere) {
  Image image = Filled(0x00);
  EXPECT_EQ(upgrade::StoreHexLine(":0440000011G233440", image), 0x4000);
  EXPECT_EQ(image[0x4000], 0x11);
  EXPECT_TRUE(AllEqual(image, 0x4001, image.size(), 0x00));
  // A sign or a space is not a digit either (no number parsing leniency).
  EXPECT_EQ(upgrade::StoreHexLine(":0240100022 100", image), 0x4010);
  EXPECT_EQ(image[0x4010], 0x22);
  EXPECT_EQ(image[0x4011], 0x00);
}

TEST(IntelHex, UnreadableCountOrAddressStoresNothing) {
  Image image = Filled(0x00);
  std::int32_t progressMax = 100;
  const std::vector<std::string> lines = {
      "",               // empty
      ":",              // nothing after the colon
      ":1",             // count cut short
      ":G1123400AA00",  // count not hex
      ":01+23400AA00",  // sign in the address
      ":01FFF",         // address cut short
      ":01FFFZ00AA00",  // address not hex
  };
  for (const auto& line : lines) {
    const ExactLine exact(line);
    EXPECT_EQ(upgrade::StoreHexLine(exact.view(), image), std::nullopt) << '"' << line << '"';
  }
  upgrade::LoadImageLines(lines, image, progressMax);
  EXPECT_EQ(progressMax, 100);
  EXPECT_TRUE(AllEqual(image, 0, image.size(), 0xFF));
}

TEST(IntelHex, RecordPastTopAddressIsCutNotWrapped) {
  Image image = Filled(0x00);
  std::int32_t progressMax = 100;
  // 16 bytes at 0xFFF8: eight fit, eight would fall past 0xFFFF.
  const std::vector<std::string> lines = {":10FFF800000102030405060708090A0B0C0D0E0F00"};
  upgrade::LoadImageLines(lines, image, progressMax);
  EXPECT_EQ(progressMax, 0xFFF8);
  for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(image[0xFFF8 + i], i);
  EXPECT_TRUE(AllEqual(image, 0, 0xFFF8, 0xFF));

  // The largest count at the last address: one byte stored.
  const ExactLine top(":FFFFFF0042" + std::string(2 * 254, '1') + "00");
  EXPECT_EQ(upgrade::StoreHexLine(top.view(), image), 0xFFFF);
  EXPECT_EQ(image[0xFFFF], 0x42);
  EXPECT_TRUE(AllEqual(image, 0, 0xFFF8, 0xFF));
}

}  // namespace
