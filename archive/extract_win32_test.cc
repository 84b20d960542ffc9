// Extraction into the run's work directory under %TMP%, with Windows paths: every
// member lands directly in the directory, names that would leave it are
// refused, an existing file is never replaced, and failed opens and
// writes count as members not written.
#include "archive/extract.h"

#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_test_util.h"
#include "archive/inflate.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"
#include "tests/test_util.h"
#include "tests/test_util_win32.h"

namespace {

std::string gRefused;  // openFile fails for paths ending in this
// The platform's own open, which knows the exclusive mode "wbx".
FILE* (*gDefaultOpen)(const char*, const char*);
FILE* refusingOpen(const char* path, const char* mode) {
  std::string p = path;
  if (!gRefused.empty() && p.size() >= gRefused.size() &&
      p.compare(p.size() - gRefused.size(), std::string::npos, gRefused) == 0) {
    return nullptr;
  }
  return gDefaultOpen(path, mode);
}
size_t halfWrite(const void* data, size_t size, FILE* file) {
  return fwrite(data, 1, size / 2, file);
}

std::string readText(const std::string& path) {
  std::vector<uint8_t> b;
  if (!readFileBytes(path, &b)) return "<none>";
  return std::string(b.begin(), b.end());
}

class ExtractWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    resetWorkDirForTesting();
    const char* wd = nullptr;
    ASSERT_NE(getWorkDir(&wd), 0u);
    workDir_ = wd;
    gDefaultOpen = reinterpret_cast<FILE* (*)(const char*, const char*)>(
        platformGetCall("openFile"));
  }
  // Removes the files extracted so far: extraction never replaces one.
  void clearWorkDir() {
    for (const std::string& name : listDir(workDir_)) {
      (void)removeFile((workDir_ + "\\" + name).c_str());
    }
  }
  void TearDown() override {
    platformSetCall("openFile", nullptr);
    platformSetCall("writeFile", nullptr);
    gRefused.clear();
    resetWorkDirForTesting();
  }
  std::string saveArchive(const std::vector<uint8_t>& bytes) {
    std::string path = tmp_.path("test.qar");
    EXPECT_TRUE(writeFileBytes(path, bytes));
    return path;
  }

  ScopedTempDir tmp_;
  ScopedEnv env_{"TMP", tmp_.dir};
  std::string workDir_;
};

const std::vector<WriterMember> kMembers = {
    {"python311.dll", toBytes(std::string(4000, 'L'))},
    {"_ssl.pyd", toBytes("ssl module")},
    {"tav_init.zip", toBytes("PK zip bytes")},
};

TEST_F(ExtractWin32Test, EveryMemberWrittenBinaryExact) {
  // Content with CR LF and a lone LF must come out byte for byte.
  std::vector<WriterMember> members = kMembers;
  members.push_back({"text.py", toBytes("a\r\nb\nc\r\x1a" "d")});
  for (int kind : {kKindStored, kKindZlib}) {
    clearWorkDir();
    ASSERT_EQ(extractArchive(saveArchive(makeArchive(kind, members)).c_str(), 0,
                             workDir_.c_str()),
              1);
    EXPECT_EQ(listDir(workDir_),
              (std::set<std::string>{"python311.dll", "_ssl.pyd",
                                     "tav_init.zip", "text.py"}));
    for (const WriterMember& m : members) {
      EXPECT_EQ(readText(workDir_ + "\\" + m.name),
                std::string(m.content.begin(), m.content.end()))
          << m.name;
    }
  }
}

TEST_F(ExtractWin32Test, NamesThatWouldLeaveTheDirectoryAreRefused) {
  ASSERT_EQ(makeDir((workDir_ + "\\sub").c_str()), 1);
  for (const char* bad : {"", ".", "..", "sub\\x", "..\\x", "\\x", "sub/x",
                          "../x", "a\\..\\..\\y"}) {
    std::vector<uint8_t> body;
    appendU32(&body, 3);
    body.insert(body.end(), {'b', 'a', 'd'});
    appendU32(&body, 4);
    body.insert(body.end(), {'g', 'o', 'o', 'd'});
    std::vector<uint8_t> index;
    appendEntry(&index, 16, bad);
    appendEntry(&index, 23, "good");
    std::string path = saveArchive(rawStoredArchive(2, body, index));
    EXPECT_EQ(extractArchive(path.c_str(), 0, workDir_.c_str()), 0) << bad;
    EXPECT_EQ(listDir(workDir_), (std::set<std::string>{"good", "sub"})) << bad;
    EXPECT_TRUE(listDir(workDir_ + "\\sub").empty()) << bad;
    EXPECT_EQ(listDir(tmp_.dir),
              (std::set<std::string>{"test.qar", "TAV" +
                                                     std::to_string(processId()) +
                                                     "Z-SKIFFRELAY"}))
        << bad;
  }
}

TEST_F(ExtractWin32Test, OpenAndWriteFailuresCountAsNotWritten) {
  std::string path = saveArchive(makeArchive(kKindZlib, kMembers));
  gRefused = "\\_ssl.pyd";
  platformSetCall("openFile", reinterpret_cast<PlatformCall>(refusingOpen));
  EXPECT_EQ(extractArchive(path.c_str(), 0, workDir_.c_str()), 0);
  EXPECT_EQ(listDir(workDir_),
            (std::set<std::string>{"python311.dll", "tav_init.zip"}));
  platformSetCall("openFile", nullptr);

  clearWorkDir();
  platformSetCall("writeFile", reinterpret_cast<PlatformCall>(halfWrite));
  EXPECT_EQ(extractArchive(path.c_str(), 0, workDir_.c_str()), 0);
  EXPECT_EQ(readText(workDir_ + "\\python311.dll"), std::string(2000, 'L'));
  platformSetCall("writeFile", nullptr);

  clearWorkDir();
  EXPECT_EQ(extractArchive(path.c_str(), 0, workDir_.c_str()), 1);
  EXPECT_EQ(readText(workDir_ + "\\python311.dll"), std::string(4000, 'L'));
}

TEST_F(ExtractWin32Test, ExistingFileIsNeverReplaced) {
  ASSERT_TRUE(writeFileText(workDir_ + "\\_ssl.pyd", "kept"));
  std::string path = saveArchive(makeArchive(kKindZlib, kMembers));
  EXPECT_EQ(extractArchive(path.c_str(), 0, workDir_.c_str()), 0);
  EXPECT_EQ(readText(workDir_ + "\\_ssl.pyd"), "kept");
  EXPECT_EQ(readText(workDir_ + "\\python311.dll"), std::string(4000, 'L'));
}

}  // namespace
