// The work directory under the short form of %TMP%, and the run lock as
// another process sees it.
#include "launcher/work_dir.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher/paths.h"
#include "platform/platform.h"
#include "tests/test_util.h"
#include "tests/test_util_win32.h"

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string workDirName(char letter) {
  return "TAV" + std::to_string(processId()) + letter + "-SKIFFRELAY";
}

// Points TMP at `dir` and starts and ends with no work directory known.
class WorkDirWin32Test : public ::testing::Test {
 protected:
  void SetUp() override { resetWorkDirForTesting(); }
  void TearDown() override { resetWorkDirForTesting(); }
  ScopedTempDir temp_;
};

TEST_F(WorkDirWin32Test, MadeOnceUnderTheShortTemporaryDirectory) {
  std::string longDir = temp_.path("temporary files");
  ASSERT_EQ(makeDir(longDir.c_str()), 1);
  ScopedEnv tmp("TMP", longDir);
  const char* path = nullptr;
  size_t n = getWorkDir(&path);
  ASSERT_GT(n, 0u);
  ASSERT_NE(path, nullptr);
  std::string expected = shortPath(longDir) + "\\" + workDirName('Z');
  EXPECT_EQ(lower(expected), lower(path));
  EXPECT_EQ(std::string(path).find(' '), std::string::npos);
  PathInfo info;
  ASSERT_EQ(statPath(path, &info), 1);
  EXPECT_TRUE(info.isDir);

  // Later calls hand out the same text and make nothing new.
  const char* again = nullptr;
  EXPECT_EQ(getWorkDir(&again), n);
  EXPECT_EQ(again, path);
  EXPECT_FALSE(fileExists(shortPath(longDir) + "\\" + workDirName('Y')));
}

TEST_F(WorkDirWin32Test, TakenLettersAreSkipped) {
  ScopedEnv tmp("TMP", temp_.dir);
  ASSERT_EQ(makeDir(temp_.path(workDirName('Z')).c_str()), 1);
  ASSERT_TRUE(writeFileText(temp_.path(workDirName('Y')), "a file"));
  const char* path = nullptr;
  ASSERT_GT(getWorkDir(&path), 0u);
  EXPECT_EQ(lower(shortPath(temp_.dir) + "\\" + workDirName('X')),
            lower(path));
}

// With every predictable name taken, the name comes from rand_s.
TEST_F(WorkDirWin32Test, AllLettersTakenGivesARandomName) {
  ScopedEnv tmp("TMP", temp_.dir);
  for (char c = 'A'; c <= 'Z'; ++c) {
    ASSERT_EQ(makeDir(temp_.path(workDirName(c)).c_str()), 1);
  }
  const char* path = nullptr;
  ASSERT_GT(getWorkDir(&path), 0u);
  std::string made = path;
  std::string name = made.substr(made.rfind('\\') + 1);
  EXPECT_EQ(name.substr(0, 4), "TAV_");
  EXPECT_EQ(name.size(), 4u + 12u + 11u) << name;
  PathInfo info;
  ASSERT_EQ(statPath(path, &info), 1);
  EXPECT_TRUE(info.isDir);
}

TEST_F(WorkDirWin32Test, DriveRootGetsASingleBackslash) {
  std::string drive = temp_.dir.substr(0, 2);
  ASSERT_EQ(drive[1], ':');
  ScopedEnv tmp("TMP", drive + "\\");
  const char* path = nullptr;
  size_t n = getWorkDir(&path);
  ASSERT_GT(n, 0u);
  std::string made = path;
  char parent[1024];
  EXPECT_EQ(pathParent(made.c_str(), parent), 2u);
  EXPECT_EQ(lower(drive), lower(parent));
  EXPECT_EQ(made.substr(0, 3 + 3), drive + "\\TAV");
  EXPECT_EQ(made.find("\\\\"), std::string::npos);
  EXPECT_EQ(removeDir(made.c_str()), 1);
}

// A %TMP% that cannot be used (it has no short form when missing) is
// passed over for the executable's own folder, the one other candidate.
TEST_F(WorkDirWin32Test, MissingTemporaryDirectoryFallsBackToTheExeFolder) {
  ScopedEnv tmp("TMP", temp_.path("missing"));
  char exe[kPathBufferSize];
  char exeDir[kPathBufferSize];
  ASSERT_GT(getExePath(exe), 0u);
  ASSERT_GT(pathParent(exe, exeDir), 0u);
  const char* path = nullptr;
  ASSERT_GT(getWorkDir(&path), 0u);
  std::string made = path;
  EXPECT_EQ(made, std::string(exeDir) + "\\" + workDirName('Z'));
  EXPECT_EQ(removeDir(made.c_str()), 1);
}

// Sharing modes are enforced by the wineserver of one prefix: the other
// process here runs in the same prefix, as all processes of a Windows
// session share one system.
TEST_F(WorkDirWin32Test, HeldRunLockDefeatsAnotherProcessesDelete) {
  ScopedEnv tmp("TMP", temp_.dir);
  EXPECT_EQ(acquireRunLock(), 0);  // no work directory yet
  const char* path = nullptr;
  ASSERT_GT(getWorkDir(&path), 0u);
  std::string lockFile = std::string(path) + "\\__TAV_LOCK__";
  ASSERT_EQ(acquireRunLock(), 1);
  EXPECT_EQ(acquireRunLock(), 1);  // already held: nothing new opened
  EXPECT_TRUE(fileExists(lockFile));
  EXPECT_EQ(deleteFileInOtherProcess(lockFile), 0);
  EXPECT_TRUE(fileExists(lockFile));

  EXPECT_EQ(releaseRunLock(), 1);
  EXPECT_EQ(releaseRunLock(), 0);
  EXPECT_EQ(deleteFileInOtherProcess(lockFile), 1);
  EXPECT_FALSE(fileExists(lockFile));
}

}  // namespace
