#include "archive/archive.h"

#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_test_util.h"
#include "archive/inflate.h"
#include "tests/test_util.h"

namespace {

std::vector<uint8_t> inflateAll(const uint8_t* data, size_t n) {
  uint8_t* out = nullptr;
  size_t length = 0;
  if (!inflateBuffer(data, n, &out, &length)) return {};
  std::vector<uint8_t> v(out, out + length);
  free(out);
  return v;
}

// Opens `bytes` written to a file; the archive or null.
struct ArchiveFile {
  ScopedTempDir dir;
  Archive* archive = nullptr;
  Archive* open(const std::vector<uint8_t>& bytes, uint32_t base = 0) {
    closeArchive(archive);
    EXPECT_TRUE(writeFileBytes(dir.path("a.qar"), bytes));
    archive = openArchive(dir.path("a.qar").c_str(), base);
    return archive;
  }
  ~ArchiveFile() { closeArchive(archive); }
};

// Reads a member; its content, or "<fail>".
std::string readAll(Archive* a, const char* name) {
  ArchiveMember* m = findMember(a, name);
  if (!m) return "<missing>";
  uint8_t* content = nullptr;
  uint32_t n = readMember(a, m, &content);
  if (n == 0) {
    EXPECT_EQ(nullptr, content);
    return "<fail>";
  }
  std::string s(content, content + n);
  free(content);
  return s;
}

// Opens whatever the bytes are and reads every member; for corrupt input
// the only requirement is a clean result.
void openAndReadEverything(const std::vector<uint8_t>& bytes, ArchiveFile* f) {
  Archive* a = f->open(bytes);
  if (!a) return;
  for (ArchiveMember* m = firstMember(a); m; m = nextMember(a)) {
    uint8_t* content = nullptr;
    uint32_t n = readMember(a, m, &content);
    if (n == 0) {
      EXPECT_EQ(nullptr, content);
    }
    free(content);
  }
}

const std::vector<WriterMember> kTwoMembers = {
    {"a", toBytes(std::string(300, 'A') + "alpha")},
    {"bc", toBytes("bravo charlie, bravo charlie, bravo charlie")},
};

TEST(ArchiveTest, WorkedLayoutOfZlibArchive) {
  std::vector<uint8_t> bytes = makeArchive(kKindZlib, kTwoMembers);
  ASSERT_FALSE(bytes.empty());
  // Member a's stream starts at 20; its length A is where bc begins - 20.
  std::vector<uint8_t> streamA;
  {
    uLongf n = compressBound(305);
    streamA.resize(n);
    ASSERT_EQ(Z_OK, compress2(streamA.data(), &n, kTwoMembers[0].content.data(),
                              305, Z_BEST_COMPRESSION));
    streamA.resize(n);
  }
  uint32_t A = static_cast<uint32_t>(streamA.size());
  EXPECT_EQ(std::vector<uint8_t>({'q', 'Z', 'a', 'B'}),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4));
  EXPECT_EQ(bytes.size(), readU32(bytes, 4));  // indexEnd
  uint32_t indexOffset = readU32(bytes, 8);
  EXPECT_EQ(2u, readU32(bytes, 12));
  EXPECT_EQ(305u, readU32(bytes, 16));
  EXPECT_EQ(streamA, std::vector<uint8_t>(bytes.begin() + 20,
                                          bytes.begin() + 20 + A));
  EXPECT_EQ(kTwoMembers[1].content.size(), readU32(bytes, 20 + A));
  uint32_t B = indexOffset - 24 - A;
  EXPECT_EQ(kTwoMembers[1].content,
            inflateAll(bytes.data() + 24 + A, B));

  std::vector<uint8_t> index = {8, 0, 16, 0, 0, 0, 'a', 0, 9, 0};
  appendU32(&index, 20 + A);
  index.insert(index.end(), {'b', 'c', 0});
  ASSERT_EQ(17u, index.size());
  EXPECT_EQ(index, inflateAll(bytes.data() + indexOffset,
                              bytes.size() - indexOffset));

  ArchiveFile f;
  Archive* a = f.open(bytes);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(kKindZlib, a->kind);
  EXPECT_EQ(2u, a->memberCount);
  EXPECT_EQ(4 + A, findMember(a, "a")->storedSize);
  EXPECT_EQ(4 + B, findMember(a, "bc")->storedSize);
  EXPECT_EQ(0u, findMember(a, "a")->contentSize);
  EXPECT_EQ(std::string(300, 'A') + "alpha", readAll(a, "a"));
  EXPECT_EQ(305u, findMember(a, "a")->contentSize);
  EXPECT_EQ("bravo charlie, bravo charlie, bravo charlie", readAll(a, "bc"));
  EXPECT_EQ("<missing>", readAll(a, "A"));
}

TEST(ArchiveTest, StoredMemberIsSpanWithoutPrefix) {
  std::vector<uint8_t> bytes = makeArchive(kKindStored, kTwoMembers);
  ArchiveFile f;
  Archive* a = f.open(bytes);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(kKindStored, a->kind);
  EXPECT_EQ(16u, findMember(a, "a")->offset);
  EXPECT_EQ(4u + 305u, findMember(a, "a")->storedSize);
  EXPECT_EQ(std::string(300, 'A') + "alpha", readAll(a, "a"));
  EXPECT_EQ("bravo charlie, bravo charlie, bravo charlie", readAll(a, "bc"));
}

TEST(ArchiveTest, HeaderAndCountRules) {
  std::vector<uint8_t> body;  // member "m" at 16: prefix 3, "abc"
  appendU32(&body, 3);
  body.insert(body.end(), {'a', 'b', 'c'});
  std::vector<uint8_t> one;
  appendEntry(&one, 16, "m");

  std::vector<uint8_t> smallest = {'q', 'A', 'R', '*'};
  appendU32(&smallest, 16);
  appendU32(&smallest, 16);
  appendU32(&smallest, 0);

  std::vector<uint8_t> kind3 = rawStoredArchive(0, body, one);
  kind3[1] = 'Z';
  kind3[2] = '4';
  kind3[3] = 2;
  std::vector<uint8_t> kind3WithMembers = kind3;
  kind3WithMembers[12] = 1;
  std::vector<uint8_t> garbageIndex = rawStoredArchive(0, body, toBytes("zz"));
  std::vector<uint8_t> badMagic = rawStoredArchive(1, body, one);
  badMagic[3] = '+';
  std::vector<uint8_t> indexBeyondFile = rawStoredArchive(1, body, one);
  patchU32(&indexBeyondFile, 4, readU32(indexBeyondFile, 4) + 1);
  std::vector<uint8_t> indexReversed = rawStoredArchive(1, body, one);
  patchU32(&indexReversed, 4, 10);
  std::vector<uint8_t> hugeIndex = rawStoredArchive(1, body, one);
  patchU32(&hugeIndex, 4, 0xFFFFFFF0u);

  // One to six bytes after the last entry only end the walk.
  std::vector<uint8_t> trailing = one;
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5, 6});
  // A name not terminated within its entry, an entry running past the
  // index, and entry lengths below 7 (0 would never advance) end the walk.
  std::vector<uint8_t> unterminated = one;
  unterminated.back() = 'x';
  std::vector<uint8_t> pastEnd = one;
  pastEnd[0] = 9;
  std::vector<uint8_t> twoEntries = one;
  appendEntry(&twoEntries, 17, "n");
  std::vector<uint8_t> zeroLength = twoEntries;
  zeroLength[8] = 0;
  std::vector<uint8_t> sixLength = twoEntries;
  sixLength[8] = 6;

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int opens;
    uint32_t members;
  } cases[] = {
      {"smallest archive", smallest, 1, 0},
      {"count 0, index garbage", garbageIndex, 1, 0},
      {"count 0, index missing", std::vector<uint8_t>(kind3.begin(), kind3.begin() + 16), 1, 0},
      {"kind 3, no members", kind3, 1, 0},
      {"kind 3 with members", kind3WithMembers, 0, 0},
      {"one member", rawStoredArchive(1, body, one), 1, 1},
      {"fewer than counted", rawStoredArchive(2, body, one), 0, 0},
      {"more than counted", rawStoredArchive(1, body, twoEntries), 0, 0},
      {"bad magic", badMagic, 0, 0},
      {"short header", std::vector<uint8_t>(smallest.begin(), smallest.begin() + 15), 0, 0},
      {"empty file", {}, 0, 0},
      {"index past end of file", indexBeyondFile, 0, 0},
      {"indexEnd below indexOffset", indexReversed, 0, 0},
      {"huge index length", hugeIndex, 0, 0},
      {"empty index, count 1", rawStoredArchive(1, body, {}), 0, 0},
      {"trailing bytes", rawStoredArchive(1, body, trailing), 1, 1},
      {"unterminated name", rawStoredArchive(1, body, unterminated), 0, 0},
      {"entry past index end", rawStoredArchive(1, body, pastEnd), 0, 0},
      {"entry length 0", rawStoredArchive(1, body, zeroLength), 1, 1},
      {"entry length 0, count 2", rawStoredArchive(2, body, zeroLength), 0, 0},
      {"entry length 6, count 2", rawStoredArchive(2, body, sixLength), 0, 0},
  };
  for (const Case& c : cases) {
    ArchiveFile f;
    Archive* a = f.open(c.bytes);
    EXPECT_EQ(c.opens, a != nullptr) << c.what;
    if (!a) continue;
    uint32_t walked = 0;
    for (ArchiveMember* m = firstMember(a); m; m = nextMember(a)) ++walked;
    EXPECT_EQ(c.members, walked) << c.what;
  }
}

TEST(ArchiveTest, DuplicateNameFailsCountAndLeaksNothing) {
  std::vector<uint8_t> body;
  appendU32(&body, 1);
  body.push_back('x');
  appendU32(&body, 1);
  body.push_back('y');
  std::vector<uint8_t> index;
  appendEntry(&index, 16, "m");
  appendEntry(&index, 21, "m");
  ArchiveFile f;
  EXPECT_EQ(nullptr, f.open(rawStoredArchive(2, body, index)));
  // Counted once, the later record wins (and the earlier one is freed,
  // which the sanitizer build checks).
  Archive* a = f.open(rawStoredArchive(1, body, index));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(21u, findMember(a, "m")->offset);
  EXPECT_EQ("y", readAll(a, "m"));
}

TEST(ArchiveTest, MemberReadRules) {
  std::string big(2000, 'z');
  std::vector<uint8_t> bytes = makeArchive(
      kKindZlib, {{"first", toBytes(big)}, {"second", toBytes("tail")}});
  ASSERT_FALSE(bytes.empty());

  struct Case {
    const char* what;
    uint32_t firstPrefix;  // content size written into first's prefix
    std::string want;
  } cases[] = {
      {"exact", 2000, big},
      {"larger prefix", 5000, big},
      {"unknown size", 0, big},
      {"smaller prefix", 1999, "<fail>"},
      {"implausible prefix", 0xFFFFFFFFu, "<fail>"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> patched = bytes;
    patchU32(&patched, 16, c.firstPrefix);
    ArchiveFile f;
    Archive* a = f.open(patched);
    ASSERT_NE(nullptr, a) << c.what;
    EXPECT_EQ(c.want, readAll(a, "first")) << c.what;
    if (c.want != "<fail>") {
      EXPECT_EQ(2000u, findMember(a, "first")->contentSize);
    }
    // A failed read leaves the archive usable.
    EXPECT_EQ("tail", readAll(a, "second")) << c.what;
  }
}

TEST(ArchiveTest, StreamFollowedByOtherBytesInSpan) {
  std::vector<uint8_t> stream(compressBound(5));
  uLongf n = stream.size();
  ASSERT_EQ(Z_OK, compress2(stream.data(), &n, toBytes("hello").data(), 5, 9));
  stream.resize(n);
  std::vector<uint8_t> body;
  appendU32(&body, 5);
  body.insert(body.end(), stream.begin(), stream.end());
  body.insert(body.end(), {'p', 'a', 'd'});
  std::vector<uint8_t> index;
  appendEntry(&index, 16, "m");
  std::vector<uint8_t> bytes = rawStoredArchive(1, body, index);
  bytes[1] = 'Z';
  bytes[2] = 'a';
  bytes[3] = 'B';
  // The index of a kind-2 archive is a zlib stream too.
  std::vector<uint8_t> zindex(compressBound(index.size()));
  n = zindex.size();
  ASSERT_EQ(Z_OK, compress2(zindex.data(), &n, index.data(), index.size(), 9));
  zindex.resize(n);
  bytes.resize(16 + body.size());
  bytes.insert(bytes.end(), zindex.begin(), zindex.end());
  patchU32(&bytes, 4, static_cast<uint32_t>(bytes.size()));
  ArchiveFile f;
  Archive* a = f.open(bytes);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ("hello", readAll(a, "m"));
}

TEST(ArchiveTest, BadSpans) {
  // Members listed out of offset order: "late" at 24 comes first, so its
  // span (16 - 24) wraps; "short" spans 2 bytes, less than its prefix;
  // "empty" has no content bytes at all.
  std::vector<uint8_t> body;
  appendU32(&body, 1);
  body.push_back('e');  // 16..20: "early"
  appendU32(&body, 1);
  body.push_back('l');  // 21..25: "late"
  appendU32(&body, 0);  // 26..29: "empty"
  body.insert(body.end(), {9, 9});  // 30..31: "short"
  std::vector<uint8_t> index;
  appendEntry(&index, 21, "late");
  appendEntry(&index, 16, "early");
  appendEntry(&index, 26, "empty");
  appendEntry(&index, 30, "short");
  ArchiveFile f;
  Archive* a = f.open(rawStoredArchive(4, body, index));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(16u - 21u, findMember(a, "late")->storedSize);
  EXPECT_EQ("<fail>", readAll(a, "late"));
  EXPECT_EQ("e", std::string(readAll(a, "early"), 0, 1));
  EXPECT_EQ("<fail>", readAll(a, "empty"));
  EXPECT_EQ(2u, findMember(a, "short")->storedSize);
  EXPECT_EQ("<fail>", readAll(a, "short"));
}

TEST(ArchiveTest, BaseOffsetInsideLargerFile) {
  std::vector<uint8_t> inner = makeArchive(kKindZlib, kTwoMembers);
  std::vector<uint8_t> bytes(1000, 0xAB);
  bytes.insert(bytes.end(), inner.begin(), inner.end());
  bytes.insert(bytes.end(), 50, 0xCD);
  ArchiveFile f;
  ASSERT_NE(nullptr, f.open(bytes, 1000));
  EXPECT_EQ("bravo charlie, bravo charlie, bravo charlie",
            readAll(f.archive, "bc"));
  EXPECT_EQ(nullptr, f.open(bytes, 999));
  EXPECT_EQ(nullptr, f.open(bytes, 0xFFFFFFF0u));
}

TEST(ArchiveTest, TruncatedAtEveryLengthFailsCleanly) {
  for (int kind : {kKindStored, kKindZlib}) {
    std::vector<uint8_t> bytes = makeArchive(kind, kTwoMembers);
    ArchiveFile f;
    for (size_t n = 0; n < bytes.size(); ++n) {
      std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
      EXPECT_EQ(nullptr, f.open(cut)) << "kind " << kind << " length " << n;
    }
  }
}

TEST(ArchiveTest, BitFlipsInHeaderAndIndexNeverCrash) {
  for (int kind : {kKindStored, kKindZlib}) {
    std::vector<uint8_t> bytes = makeArchive(kind, kTwoMembers);
    size_t indexOffset = readU32(bytes, 8);
    std::vector<size_t> positions;
    for (size_t i = 0; i < 24; ++i) positions.push_back(i);  // header, prefix
    for (size_t i = indexOffset; i < bytes.size(); ++i) positions.push_back(i);
    ArchiveFile f;
    for (size_t at : positions) {
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<uint8_t> flipped = bytes;
        flipped[at] ^= static_cast<uint8_t>(1 << bit);
        openAndReadEverything(flipped, &f);
      }
    }
  }
}

TEST(ArchiveTest, RenameAndWalk) {
  std::vector<uint8_t> bytes = makeArchive(
      kKindStored, {{"pkg.__init__", toBytes("init code")},
                    {"pkg.mod", toBytes("module code")},
                    {"other", toBytes("x")}});
  ArchiveFile f;
  Archive* a = f.open(bytes);
  ASSERT_NE(nullptr, a);

  std::map<std::string, uint32_t> walked;
  for (ArchiveMember* m = firstMember(a); m; m = nextMember(a)) {
    EXPECT_TRUE(walked.emplace(m->name, m->offset).second);
  }
  EXPECT_EQ(3u, walked.size());

  ArchiveMember* init = findMember(a, "pkg.__init__");
  ASSERT_NE(nullptr, init);
  EXPECT_EQ("init code", readAll(a, "pkg.__init__"));
  ArchiveMember before = *init;
  ArchiveMember* slot = init;
  ASSERT_EQ(1, renameMember(a, &slot, "pkg"));
  EXPECT_EQ(nullptr, findMember(a, "pkg.__init__"));
  EXPECT_EQ(slot, findMember(a, "pkg"));
  EXPECT_STREQ("pkg", slot->name);
  EXPECT_EQ(before.offset, slot->offset);
  EXPECT_EQ(before.storedSize, slot->storedSize);
  EXPECT_EQ(before.contentSize, slot->contentSize);
  EXPECT_EQ("init code", readAll(a, "pkg"));
  EXPECT_EQ(3u, tableCount(a->members));

  // Taking another member's name would orphan it: refused.
  ArchiveMember* other = findMember(a, "other");
  EXPECT_EQ(0, renameMember(a, &other, "pkg.mod"));
  EXPECT_EQ(findMember(a, "other"), other);
  ArchiveMember* none = nullptr;
  EXPECT_EQ(0, renameMember(a, &none, "x"));
  EXPECT_EQ(0, renameMember(a, nullptr, "x"));
}

TEST(ArchiveTest, NameEndsWith) {
  struct Case {
    const char* name;
    const char* suffix;
    int result;
  } cases[] = {
      {"a.b.__init__", ".__init__", 1}, {".__init__", ".__init__", 1},
      {"__init__", ".__init__", 0},     {"a.__init__x", ".__init__", 0},
      {"abc", "", 1},                   {"", "", 1},
      {"", "a", 0},                     {"a.__INIT__", ".__init__", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result, nameEndsWith(c.name, c.suffix)) << c.name;
  }
}

}  // namespace

namespace {

TEST(ArchiveTest, WriterRefusesWhatNoReaderCouldTellApart) {
  struct Case {
    const char* what;
    int kind;
    std::vector<WriterMember> members;
  } cases[] = {
      {"empty name", kKindStored, {{"", toBytes("x")}}},
      {"NUL in name", kKindStored, {{std::string("a\0b", 3), toBytes("x")}}},
      {"name too long", kKindZlib, {{std::string(65529, 'n'), toBytes("x")}}},
      {"duplicate", kKindZlib, {{"a", toBytes("x")}, {"a", toBytes("y")}}},
      {"empty content", kKindZlib, {{"a", {}}}},
      {"kind 3", kKindUnsupported, {{"a", toBytes("x")}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out;
    std::string err;
    EXPECT_EQ(0, buildArchive(c.kind, c.members, &out, &err)) << c.what;
    EXPECT_FALSE(err.empty()) << c.what;
  }
  // The longest name still fits its 16-bit entry length.
  std::string longest(65528, 'n');
  ArchiveFile f;
  ASSERT_NE(nullptr, f.open(makeArchive(kKindStored, {{longest, toBytes("x")}})));
  EXPECT_EQ("x", readAll(f.archive, longest.c_str()));
}

TEST(ArchiveTest, WriteArchiveFileReplacesWhole) {
  ScopedTempDir dir;
  std::string path = dir.path("out.qar");
  ASSERT_TRUE(writeFileText(path, "old contents"));
  std::string err;
  ASSERT_EQ(1, writeArchiveFile(path.c_str(), kKindZlib, kTwoMembers, &err)) << err;
  std::vector<uint8_t> written;
  ASSERT_TRUE(readFileBytes(path, &written));
  EXPECT_EQ(makeArchive(kKindZlib, kTwoMembers), written);

  // A refused archive leaves the old file alone and no temporary behind.
  EXPECT_EQ(0, writeArchiveFile(path.c_str(), kKindZlib, {{"", toBytes("x")}}, &err));
  std::vector<uint8_t> after;
  ASSERT_TRUE(readFileBytes(path, &after));
  EXPECT_EQ(written, after);
  EXPECT_EQ(0, writeArchiveFile(dir.path("missing/out.qar").c_str(), kKindZlib,
                                kTwoMembers, &err));
  EXPECT_NE(std::string::npos, err.find("missing/out.qar")) << err;
}

}  // namespace

TEST(ArchiveTest, ZlibIndexBombIsRefusedWithoutGrowingHuge) {
  // A 10 MB run of zeros compresses to a few KB; as the index of a
  // one-member archive it could never be valid (an entry is at most 65535
  // bytes), so the open fails before inflating much of it.
  std::vector<uint8_t> zeros(10 << 20, 0);
  uLongf size = compressBound(zeros.size());
  std::vector<uint8_t> stream(size);
  ASSERT_EQ(Z_OK, compress2(stream.data(), &size, zeros.data(), zeros.size(),
                            Z_BEST_COMPRESSION));
  stream.resize(size);
  std::vector<uint8_t> bytes = {'q', 'Z', 'a', 'B'};
  appendU32(&bytes, static_cast<uint32_t>(16 + stream.size()));
  appendU32(&bytes, 16);
  appendU32(&bytes, 1);
  bytes.insert(bytes.end(), stream.begin(), stream.end());

  ArchiveFile f;
  {
    AllocationSizes buffer;
    EXPECT_EQ(nullptr, f.open(bytes));
    ASSERT_FALSE(buffer.sizes.empty());
    EXPECT_LE(*std::max_element(buffer.sizes.begin(), buffer.sizes.end()),
              0xFFFFu);
  }
}
