#include "archive/zip_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// An end record: `entries` entries, a directory of `directorySize` bytes
// at `directoryOffset`, and a comment of `commentLength` bytes announced.
Bytes endRecord(uint16_t entries, uint32_t directorySize,
                uint32_t directoryOffset, uint16_t commentLength) {
  Bytes r = {'P', 'K', 5, 6, 0, 0, 0, 0};
  for (uint32_t v : {uint32_t(entries), uint32_t(entries)}) {
    r.push_back(v & 0xFF);
    r.push_back(v >> 8);
  }
  for (uint32_t v : {directorySize, directoryOffset}) {
    for (int i = 0; i < 4; ++i) r.push_back((v >> (8 * i)) & 0xFF);
  }
  r.push_back(commentLength & 0xFF);
  r.push_back(commentLength >> 8);
  return r;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(ZipCheckTest, EndRecordAndDirectoryMustFit) {
  Bytes entry = cat({{'P', 'K', 1, 2}, Bytes(42, 0)});  // one, nameless
  Bytes oneEntry = cat({entry, endRecord(1, 46, 0, 0)});
  struct Case {
    const char* what;
    Bytes data;
    int zip;
  };
  const Case cases[] = {
      {"empty zip", emptyZip(), 1},
      {"one entry", oneEntry, 1},
      {"data before the zip", cat({Bytes(10, 'x'), oneEntry}), 1},
      {"comment", cat({endRecord(0, 0, 0, 3), {'a', 'b', 'c'}}), 1},
      {"comment length past the end", cat({endRecord(0, 0, 0, 5), {'a'}}), 0},
      // The record as far from the end as a zip allows, with more before.
      {"longest comment",
       cat({Bytes(30, 'x'), endRecord(0, 0, 0, 0xFFFF), Bytes(0xFFFF, 'c')}),
       1},
      {"bytes after the record", cat({emptyZip(), {'x'}}), 0},
      {"last byte cut", Bytes(oneEntry.begin(), oneEntry.end() - 1), 0},
      {"directory larger than the file", cat({entry, endRecord(1, 99, 0, 0)}),
       0},
      {"directory without its signature",
       cat({Bytes(46, 'x'), endRecord(1, 46, 0, 0)}), 0},
      {"two bytes", {'P', 'K'}, 0},
      {"not a zip", Bytes(100, 'x'), 0},
  };
  ScopedTempDir temp;
  for (const Case& c : cases) {
    std::string path = temp.path("t.zip");
    ASSERT_TRUE(writeFileBytes(path, c.data));
    EXPECT_EQ(c.zip, isZipFile(path.c_str())) << c.what;
  }
  EXPECT_EQ(0, isZipFile(temp.path("missing.zip").c_str()));
}

}  // namespace
