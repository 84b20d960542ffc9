// The sweep as it happens on Windows: a normal run of the real launcher
// starts its cleanup child detached (CreateProcessA), and that child
// deletes what no live run holds. Live runs are played by this test
// process holding lock files open; the child is another process, so its
// DeleteFileA meets the sharing mode. (Wine enforces sharing among the
// processes of one prefix, which these are.)
#include "launcher/cleanup.h"

#include <stdio.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/test_util.h"
#include "tests/test_util_win32.h"

namespace {

class SweepWin32Test : public ::testing::Test {
 protected:
  // A work directory with two extracted files and, if asked, a lock file
  // that no run holds any more.
  std::string workDir(const std::string& name, bool withFreeLock) {
    std::string dir = temp_.path(name);
    EXPECT_EQ(makeDir(dir.c_str()), 1) << dir;
    EXPECT_TRUE(writeFileText(dir + "\\python311.dll", "lib"));
    EXPECT_TRUE(writeFileText(dir + "\\mod.pyd", "mod"));
    if (withFreeLock) {
      LockFile* lock = lockFileAcquire((dir + "\\__TAV_LOCK__").c_str());
      EXPECT_NE(lock, nullptr);
      lockFileRelease(lock);
    }
    return dir;
  }

  // A copy of the launcher in a folder of its own, with nothing beside it.
  std::string launcherCopy() {
    std::string app = temp_.path("app");
    EXPECT_EQ(makeDir(app.c_str()), 1);
    std::vector<uint8_t> exe;
    EXPECT_TRUE(readFileBytes(nativePath(SKIFF_LAUNCHER_PATH), &exe));
    std::string copy = app + "\\skiffrelay.exe";
    EXPECT_TRUE(writeFileBytes(copy, exe));
    return copy;
  }

  // Waits (at most 30 s) until none of `paths` exists.
  static bool waitUntilGone(const std::vector<std::string>& paths) {
    for (int i = 0; i < 600; ++i) {
      bool any = false;
      for (const std::string& p : paths) any = any || fileExists(p);
      if (!any) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  ScopedTempDir temp_;
};

TEST_F(SweepWin32Test, DetachedChildOfARunRemovesOnlyStaleDirectories) {
  std::string live = workDir("TAV1Z-SKIFFRELAY", false);
  LockFile* liveLock = lockFileAcquire((live + "\\__TAV_LOCK__").c_str());
  ASSERT_NE(liveLock, nullptr);
  std::string stale = workDir("TAV2Z-SKIFFRELAY", true);
  std::string oldNoLock = workDir("TAV3Z-SKIFFRELAY", false);
  ASSERT_TRUE(ageFile(oldNoLock, 3600));
  std::string youngNoLock = workDir("TAV4Z-SKIFFRELAY", false);
  std::string withSub = workDir("TAV5Z-SKIFFRELAY", true);
  ASSERT_EQ(makeDir((withSub + "\\sub").c_str()), 1);
  ASSERT_TRUE(writeFileText(withSub + "\\sub\\inner", "kept"));
  std::string plainFile = temp_.path("TAV6Z-SKIFFRELAY");
  ASSERT_TRUE(writeFileText(plainFile, "not a directory"));
  std::string otherName = workDir("TAV7Z-OTHER", true);
  // A file held open without delete sharing stops the work on its
  // directory; a later sweep finishes it.
  std::string busy = workDir("TAV8Z-SKIFFRELAY", true);
  FILE* busyFile = fopen((busy + "\\mod.pyd").c_str(), "rb");
  ASSERT_NE(busyFile, nullptr);

  RunResult run = runProgram({launcherCopy()}, {"TMP=" + temp_.dir});
  EXPECT_EQ(run.status, 1) << run.err;  // no archives beside it

  ASSERT_TRUE(waitUntilGone({stale, oldNoLock, withSub + "\\__TAV_LOCK__",
                             withSub + "\\python311.dll",
                             withSub + "\\mod.pyd",
                             busy + "\\__TAV_LOCK__"}));
  for (const char* name : {"\\__TAV_LOCK__", "\\python311.dll", "\\mod.pyd"}) {
    EXPECT_TRUE(fileExists(live + name)) << name;
  }
  EXPECT_TRUE(fileExists(youngNoLock + "\\python311.dll"));
  EXPECT_TRUE(fileExists(withSub + "\\sub\\inner"));
  EXPECT_TRUE(fileExists(plainFile));
  EXPECT_TRUE(fileExists(otherName + "\\__TAV_LOCK__"));
  EXPECT_TRUE(fileExists(busy + "\\mod.pyd"));

  // Once the lock and the file are let go, a sweep in cleanup mode (run
  // to its end this time) removes both directories.
  lockFileRelease(liveLock);
  fclose(busyFile);
  // The deletes made the busy directory young again; without its lock
  // file only age tells it from a run being set up.
  ASSERT_TRUE(ageFile(busy, 3600));
  run = runProgram({nativePath(SKIFF_LAUNCHER_PATH), "--remove_temp_files",
                    temp_.path("TAV1A-SKIFFRELAY")});
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(live));
  EXPECT_FALSE(fileExists(busy));
  EXPECT_TRUE(fileExists(youngNoLock));
  EXPECT_TRUE(fileExists(withSub + "\\sub\\inner"));
}

// The cleanup child told of its run's process: once that has ended (here
// a token of this process with another start, which names no process),
// it removes the run's directory, waiting for a file still in use to be
// let go, but never one whose lock a live run holds.
TEST_F(SweepWin32Test, ChildRemovesItsRunsDirectoryOnceTheRunHasEnded) {
  char token[64];
  ASSERT_GT(processToken(token, sizeof token), 0u);
  std::string ended = token;
  ended.back() = ended.back() == '0' ? '1' : '0';
  auto child = [&](const std::string& dir) {
    return runProgram({nativePath(SKIFF_LAUNCHER_PATH), "--remove_temp_files",
                       dir, "--after_process", ended});
  };
  std::string dir = workDir("TAV1Z-SKIFFRELAY", true);
  // Open without delete sharing, and not inherited by the child.
  FILE* busy = fopen((dir + "\\mod.pyd").c_str(), "rbN");
  ASSERT_NE(busy, nullptr);
  std::thread release([busy] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    fclose(busy);
  });
  RunResult run = child(dir);
  release.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(dir));

  std::string live = workDir("TAV2Z-SKIFFRELAY", false);
  LockFile* lock = lockFileAcquire((live + "\\__TAV_LOCK__").c_str());
  ASSERT_NE(lock, nullptr);
  EXPECT_EQ(child(live).status, 0);
  EXPECT_TRUE(fileExists(live + "\\mod.pyd"));
  lockFileRelease(lock);
}

}  // namespace
