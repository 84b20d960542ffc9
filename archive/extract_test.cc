#include "archive/extract.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_test_util.h"
#include "archive/inflate.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

// Fault injection through the platform's openFile/writeFile.
std::vector<std::string> gOpened;  // paths opened for writing
std::string gRefusedSuffix;  // openFile fails for paths ending in this
FILE* recordingOpen(const char* path, const char* mode) {
  if (mode[0] != 'r') gOpened.push_back(path);
  std::string p = path;
  if (!gRefusedSuffix.empty() && p.size() >= gRefusedSuffix.size() &&
      p.compare(p.size() - gRefusedSuffix.size(), std::string::npos,
                gRefusedSuffix) == 0) {
    return nullptr;
  }
  return fopen(path, mode);
}
// Writes the first half and reports just that, as a full disk would.
size_t halfWrite(const void* data, size_t size, FILE* file) {
  return fwrite(data, 1, size / 2, file);
}

// Writes nothing and fails as a full disk does.
size_t fullDiskWrite(const void*, size_t, FILE*) {
  errno = ENOSPC;
  return 0;
}

std::string readText(const std::string& path) {
  std::vector<uint8_t> b;
  if (!readFileBytes(path, &b)) return "<none>";
  return std::string(b.begin(), b.end());
}

// Each test extracts into its own target directory, "work" inside a fresh
// temporary directory that also holds the archive.
class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override { useTarget(tmp_.path("work")); }
  void TearDown() override {
    platformSetCall("openFile", nullptr);
    platformSetCall("writeFile", nullptr);
    gOpened.clear();
    gRefusedSuffix.clear();
  }
  void useTarget(const std::string& dir) {
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    workDir_ = dir;
  }
  std::string saveArchive(const std::vector<uint8_t>& bytes) {
    std::string path = tmp_.path("test.qar");
    EXPECT_TRUE(writeFileBytes(path, bytes));
    return path;
  }
  std::string inWorkDir(const std::string& name) {
    return workDir_ + "/" + name;
  }
  // Removes the files extracted so far: extraction never replaces one.
  void clearWorkDir() {
    for (const std::string& name : listDir(workDir_)) {
      (void)removeFile(inWorkDir(name).c_str());
    }
  }
  int extract(const std::string& path) {
    return extractArchive(path.c_str(), 0, workDir_.c_str());
  }
  int extractOne(Archive* archive, const std::string& name) {
    return extractMember(archive, name.c_str(), workDir_.c_str());
  }

  ScopedTempDir tmp_;
  std::string workDir_;
};

const std::vector<WriterMember> kMembers = {
    {"libpython3.11.so.1.0", toBytes(std::string(4000, 'L'))},
    {"_ssl.pyd", toBytes("ssl module")},
    {"tav_init.zip", toBytes("PK zip bytes")},
};

TEST_F(ExtractTest, EveryMemberWritten) {
  for (int kind : {kKindStored, kKindZlib}) {
    clearWorkDir();
    ASSERT_EQ(1, extract(saveArchive(makeArchive(kind, kMembers))));
    EXPECT_EQ((std::set<std::string>{"libpython3.11.so.1.0", "_ssl.pyd",
                                     "tav_init.zip"}),
              listDir(workDir_));
    for (const WriterMember& m : kMembers) {
      EXPECT_EQ(std::string(m.content.begin(), m.content.end()),
                readText(inWorkDir(m.name)));
    }
  }
}

TEST_F(ExtractTest, ZeroMembersAndMissingInputs) {
  std::vector<uint8_t> empty = {'q', 'A', 'R', '*'};
  appendU32(&empty, 16);
  appendU32(&empty, 16);
  appendU32(&empty, 0);
  EXPECT_EQ(1, extract(saveArchive(empty)));
  EXPECT_TRUE(listDir(workDir_).empty());
  EXPECT_EQ(0, extract(tmp_.path("absent.qar")));

  std::string path = saveArchive(makeArchive(kKindStored, kMembers));
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(0u, writeAllMembers(a, tmp_.path("no-such-dir").c_str()));
  EXPECT_EQ(0, extractOne(a, "absent"));
  closeArchive(a);
}

TEST_F(ExtractTest, NoTargetDirectoryOpensNothing) {
  std::string path = saveArchive(makeArchive(kKindStored, kMembers));
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  platformSetCall("openFile", reinterpret_cast<PlatformCall>(recordingOpen));
  for (const std::string& target : {std::string(), tmp_.path("missing"), path}) {
    EXPECT_EQ(0, extractArchive(path.c_str(), 0, target.c_str())) << target;
    if (target.empty()) {
      EXPECT_EQ(0, extractMember(a, "tav_init.zip", target.c_str()));
    }
  }
  EXPECT_TRUE(gOpened.empty());
  EXPECT_TRUE(listDir(workDir_).empty());
  closeArchive(a);
}

TEST_F(ExtractTest, UnsafeNamesAreRefused) {
  ASSERT_EQ(0, mkdir(inWorkDir("sub").c_str(), 0700));
  const char* names[] = {"",          ".",         "..",      "sub/x",
                         "../escape", "..\\x",     "\\x",     "/abs",
                         "sub\\x",    "a/../../y"};
  for (const char* bad : names) {
    std::vector<uint8_t> body;
    appendU32(&body, 3);
    body.insert(body.end(), {'b', 'a', 'd'});
    appendU32(&body, 4);
    body.insert(body.end(), {'g', 'o', 'o', 'd'});
    std::vector<uint8_t> index;
    appendEntry(&index, 16, bad);
    appendEntry(&index, 23, "good");
    std::string path = saveArchive(rawStoredArchive(2, body, index));
    EXPECT_EQ(0, isSafeMemberName(bad)) << bad;
    EXPECT_EQ(0, extract(path)) << bad;
    EXPECT_EQ((std::set<std::string>{"good", "sub"}), listDir(workDir_)) << bad;
    EXPECT_TRUE(listDir(inWorkDir("sub")).empty()) << bad;
    EXPECT_EQ("good", readText(inWorkDir("good")));
    EXPECT_EQ((std::set<std::string>{"test.qar", "work"}), listDir(tmp_.dir))
        << bad;

    Archive* a = openArchive(path.c_str(), 0);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0, extractOne(a, bad)) << bad;
    closeArchive(a);
  }
  for (const char* good : {"a", "...", ".x", "a..b", "x.__init__"}) {
    EXPECT_EQ(1, isSafeMemberName(good)) << good;
  }
}

TEST_F(ExtractTest, ExistingEntriesAreNeverReplacedNorFollowed) {
  // A file already there, a directory in the way, and a link planted at
  // a member's name (pointing at a file outside): each of those members
  // is not written, and nothing is changed through the link.
  std::string outside = tmp_.path("outside");
  ASSERT_TRUE(writeFileText(outside, "kept"));
  ASSERT_TRUE(writeFileText(inWorkDir("_ssl.pyd"), std::string(100, 'o')));
  ASSERT_EQ(0, mkdir(inWorkDir("tav_init.zip").c_str(), 0700));
  ASSERT_EQ(0, symlink(outside.c_str(),
                       inWorkDir("libpython3.11.so.1.0").c_str()));
  for (int kind : {kKindStored, kKindZlib}) {
    std::string path = saveArchive(makeArchive(kind, kMembers));
    EXPECT_EQ(0, extract(path));
    EXPECT_EQ(std::string(100, 'o'), readText(inWorkDir("_ssl.pyd")));
    EXPECT_EQ("kept", readText(outside));
    Archive* a = openArchive(path.c_str(), 0);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0, extractOne(a, "libpython3.11.so.1.0"));
    closeArchive(a);
    EXPECT_EQ("kept", readText(outside));
  }
}

TEST_F(ExtractTest, OpenAndWriteFailures) {
  std::string path = saveArchive(makeArchive(kKindZlib, kMembers));

  gRefusedSuffix = "/_ssl.pyd";
  platformSetCall("openFile", reinterpret_cast<PlatformCall>(recordingOpen));
  EXPECT_EQ(0, extract(path));
  EXPECT_EQ(3u, gOpened.size()) << ::testing::PrintToString(gOpened);
  EXPECT_EQ((std::set<std::string>{"libpython3.11.so.1.0", "tav_init.zip"}),
            listDir(workDir_));
  platformSetCall("openFile", nullptr);

  // A short write fails the member and leaves the partial file behind.
  clearWorkDir();
  platformSetCall("writeFile", reinterpret_cast<PlatformCall>(halfWrite));
  EXPECT_EQ(0, extract(path));
  EXPECT_EQ(std::string(2000, 'L'), readText(inWorkDir("libpython3.11.so.1.0")));
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  clearWorkDir();
  EXPECT_EQ(0, extractOne(a, "_ssl.pyd"));
  EXPECT_EQ("ssl m", readText(inWorkDir("_ssl.pyd")));
  platformSetCall("writeFile", nullptr);
  clearWorkDir();
  EXPECT_EQ(1, extractOne(a, "_ssl.pyd"));
  EXPECT_EQ("ssl module", readText(inWorkDir("_ssl.pyd")));
  closeArchive(a);
}

// Stored members above 1 MiB are copied in pieces; every byte arrives,
// and a failing open or write fails the member as it does a small one.
TEST_F(ExtractTest, LargeStoredMembersCopiedInPieces) {
  const size_t kPiece = 1 << 20;
  std::vector<uint8_t> big(3 * kPiece + 5);
  for (size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<uint8_t>(i * 131 % 251);
  }
  std::string path = saveArchive(
      makeArchive(kKindStored, {{"big.so", big}, {"small", toBytes("s")}}));
  struct Case {
    const char* label;
    PlatformCall open;
    PlatformCall write;
    int extracted;
    size_t bigFileSize;  // SIZE_MAX: no file
    const char* small;   // the one-byte member afterwards
  };
  const Case cases[] = {
      {"all pieces", nullptr, nullptr, 1, big.size(), "s"},
      // halfWrite takes half of the first piece's content, then it stops.
      {"short write", nullptr, reinterpret_cast<PlatformCall>(halfWrite), 0,
       (kPiece - 4) / 2, ""},
      {"refused open", reinterpret_cast<PlatformCall>(recordingOpen), nullptr, 0,
       SIZE_MAX, "s"},
  };
  gRefusedSuffix = "/big.so";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    clearWorkDir();
    platformSetCall("openFile", c.open);
    platformSetCall("writeFile", c.write);
    EXPECT_EQ(c.extracted, extract(path));
    platformSetCall("openFile", nullptr);
    platformSetCall("writeFile", nullptr);
    std::vector<uint8_t> got;
    if (c.bigFileSize == SIZE_MAX) {
      EXPECT_FALSE(readFileBytes(inWorkDir("big.so"), &got));
    } else {
      ASSERT_TRUE(readFileBytes(inWorkDir("big.so"), &got));
      ASSERT_EQ(c.bigFileSize, got.size());
      EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
    }
    EXPECT_EQ(c.small, readText(inWorkDir("small")));
  }

  // One member on its own takes the same path.
  clearWorkDir();
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(1, extractOne(a, "big.so"));
  std::vector<uint8_t> got;
  ASSERT_TRUE(readFileBytes(inWorkDir("big.so"), &got));
  EXPECT_TRUE(got == big);
  EXPECT_EQ(big.size(), findMember(a, "big.so")->contentSize);

  // The archive cut short after the first piece, once open: the member
  // cannot be read, and the file begun for it goes again.
  clearWorkDir();
  ASSERT_EQ(0, truncate(path.c_str(), 16 + 4 + kPiece + kPiece / 2));
  EXPECT_EQ(0, extractOne(a, "big.so"));
  EXPECT_FALSE(fileExists(inWorkDir("big.so")));
  closeArchive(a);
}

// A write that fails for lack of room is the directory's fault, not the
// archive's: the caller hears so (and tries another directory).
TEST_F(ExtractTest, FullDiskIsReported) {
  std::string path = saveArchive(makeArchive(kKindZlib, kMembers));
  DirShortfall shortfall = kDirFine;
  platformSetCall("writeFile", reinterpret_cast<PlatformCall>(fullDiskWrite));
  EXPECT_EQ(0, extractArchive(path.c_str(), 0, workDir_.c_str(), &shortfall));
  EXPECT_EQ(kDirNoRoom, shortfall);
}

TEST_F(ExtractTest, OversizedContentIsNotWritten) {
  std::vector<uint8_t> bytes = makeArchive(kKindZlib, kMembers);
  patchU32(&bytes, 16, 3999);  // first member inflates to 4000
  EXPECT_EQ(0, extract(saveArchive(bytes)));
  EXPECT_EQ((std::set<std::string>{"_ssl.pyd", "tav_init.zip"}),
            listDir(workDir_));
}

TEST_F(ExtractTest, ExtractMemberJoinsLikePathJoin) {
  std::string path = saveArchive(makeArchive(
      kKindStored, {{"tav_init.zip", toBytes("zip")}, {".x", toBytes("dot")}}));
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  platformSetCall("openFile", reinterpret_cast<PlatformCall>(recordingOpen));
  EXPECT_EQ(1, extractOne(a, "tav_init.zip"));
  EXPECT_EQ(0, extractOne(a, "./tav_init.zip"));
  EXPECT_EQ(1, extractOne(a, ".x"));  // a leading "." is skipped
  EXPECT_EQ((std::vector<std::string>{inWorkDir("tav_init.zip"), inWorkDir("x")}),
            gOpened);

  // A directory given with a trailing separator gets no second one.
  gOpened.clear();
  EXPECT_EQ(2u, writeAllMembers(a, (tmp_.dir + "/").c_str()));
  EXPECT_EQ((std::set<std::string>{tmp_.path("tav_init.zip"), tmp_.path(".x")}),
            std::set<std::string>(gOpened.begin(), gOpened.end()));
  closeArchive(a);
}

TEST_F(ExtractTest, OverlongTargetPathIsRefusedNotCut) {
  // A target directory about 900 characters deep, then a member name that
  // takes the target past 1023 characters.
  std::string deep = tmp_.dir;
  for (int i = 0; i < 4; ++i) {
    deep += "/" + std::string(210, 'd');
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
  }
  useTarget(deep + "/TAV" + std::to_string(processId()) + "Z-SKIFFRELAY");
  ASSERT_LT(workDir_.size(), 1000u);
  std::string longName(1023 - workDir_.size(), 'n');  // one byte too many
  std::string fitting(1022 - workDir_.size(), 'f');
  std::string path = saveArchive(makeArchive(
      kKindStored, {{longName, toBytes("long")}, {fitting, toBytes("fits")}}));
  DirShortfall shortfall = kDirFine;
  EXPECT_EQ(0, extractArchive(path.c_str(), 0, workDir_.c_str(), &shortfall));
  EXPECT_EQ(kDirPathTooLong, shortfall);
  EXPECT_EQ(std::set<std::string>{fitting}, listDir(workDir_));
  Archive* a = openArchive(path.c_str(), 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(0, extractOne(a, longName.c_str()));
  clearWorkDir();
  EXPECT_EQ(1, extractOne(a, fitting.c_str()));
  EXPECT_EQ(std::set<std::string>{fitting}, listDir(workDir_));
  closeArchive(a);
}

}  // namespace
