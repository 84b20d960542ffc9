#include "archive/record.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(RecordTest, FormatSize) {
  struct Case {
    const char* format;
    uint32_t size;
  } cases[] = {
      {"<4sIII", 16}, {"<HI", 6},  {"<I", 4},   {"@HI", 8},  {"HI", 8},
      {"<5s", 5},     {"5s", 8},   {"5p", 8},   {"<2H", 4},  {"2H", 8},
      {"3q", 24},     {">?", 4},   {"<x", 1},   {"x", 4},    {"<0I", 4},
      {"", 0},        {"<", 0},    {"<H I", 2}, {"<I!", 4},  {"!I", 0},
      {"=bBhH", 6},   {"<12c", 12}, {"<2sH", 4}, {"2sH", 8}, {"<<I", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.size, formatSize(c.format)) << c.format;
  }
}

// Each case unpacks `packed` into a record pre-filled with 0xEE and checks
// the result and the whole record: the bytes the call may touch, and that
// nothing beyond them changed.
TEST(RecordTest, UnpackLayouts) {
  struct Case {
    const char* format;
    std::vector<uint8_t> packed;
    int result;
    std::vector<uint8_t> record;  // expected leading bytes; rest stays 0xEE
  } cases[] = {
      // The archive header: a single copy of the 16 bytes.
      {"<4sIII",
       bytes({'q', 'Z', 'a', 'B', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), 1,
       bytes({'q', 'Z', 'a', 'B', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})},
      // An index entry head: the 16-bit value is widened to 4 bytes.
      {"<HI", bytes({0x0A, 0, 0x10, 0, 0, 0}), 1,
       bytes({0x0A, 0, 0, 0, 0x10, 0, 0, 0})},
      {"<I", bytes({1, 2, 3, 4}), 1, bytes({1, 2, 3, 4})},
      {"<0I", bytes({1, 2, 3, 4}), 1, bytes({1, 2, 3, 4})},
      // Big-endian elements are reversed, strings never.
      {">I", bytes({0, 0, 1, 2}), 1, bytes({2, 1, 0, 0})},
      {">Hq", bytes({1, 2, 1, 2, 3, 4, 5, 6, 7, 8}), 1,
       bytes({2, 1, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1})},
      {">2s", bytes({'a', 'b'}), 1, bytes({'a', 'b', 0, 0})},
      {"<3s", bytes({'a', 'b', 'c'}), 1, bytes({'a', 'b', 'c', 0})},
      {"3s", bytes({'a', 'b', 'c', 'd'}), 1, bytes({'a', 'b', 'c', 'd'})},
      {"<5p", bytes({1, 2, 3, 4, 5}), 1, bytes({1, 2, 3, 4, 5, 0, 0, 0})},
      // Widening is per element: BB puts its bytes at 0 and 4.
      {"<BB", bytes({1, 2}), 1, bytes({1, 0, 0, 0, 2, 0, 0, 0})},
      {"<2B", bytes({1, 2}), 1, bytes({1, 0, 0, 0, 2, 0, 0, 0})},
      // x is copied like B; ? is four bytes wide.
      {"<x?", bytes({7, 1, 2, 3, 4}), 1, bytes({7, 0, 0, 0, 1, 2, 3, 4})},
      // No prefix, or @: the packed side is already widened, one copy.
      {"BB", bytes({1, 9, 9, 9, 2, 9, 9, 9}), 1,
       bytes({1, 9, 9, 9, 2, 9, 9, 9})},
      {"@H", bytes({1, 2, 3, 4}), 1, bytes({1, 2, 3, 4})},
      // An unrecognised code: the walk fails there, earlier elements stay
      // written and the rest of the record is zero ...
      {"<H I", bytes({5, 6, 1, 2, 3, 4}), 0, bytes({5, 6, 0, 0})},
      {">HzI", bytes({5, 6, 1, 2, 3, 4}), 0, bytes({6, 5, 0, 0})},
      // ... unless the sizes up to it allow the single copy.
      {"<I!", bytes({1, 2, 3, 4}), 1, bytes({1, 2, 3, 4})},
      // Empty format: failure, nothing written; a lone prefix: success.
      {"", bytes({1}), 0, bytes({})},
      {"<", bytes({1}), 1, bytes({})},
  };
  for (const Case& c : cases) {
    uint8_t record[32];
    memset(record, 0xEE, sizeof record);
    EXPECT_EQ(c.result, unpackRecord(c.format, c.packed.data(), record))
        << c.format;
    std::vector<uint8_t> want = c.record;
    want.resize(sizeof record, 0xEE);
    EXPECT_EQ(want, std::vector<uint8_t>(record, record + sizeof record))
        << c.format;
  }
}

}  // namespace
