#include "launcher/work_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// Points TMPDIR at a fresh directory and starts from an empty work
// directory state; restores both afterwards.
class WorkDirTest : public ::testing::Test {
 protected:
  void SetUp() override { resetWorkDirForTesting(); }
  void TearDown() override { resetWorkDirForTesting(); }
  std::string nameFor(char letter) const {
    return "TAV" + std::to_string(getpid()) + letter + "-SKIFFRELAY";
  }

  // Exit status of `flock -n FILE true`: 0 when the lock was free.
  int probeLock(const std::string& file) {
    return runProgram({"/usr/bin/flock", "-n", file, "/bin/true"}, {}, 10)
        .status;
  }

  ScopedTempDir temp_;
  ScopedEnv tmpdir_{"TMPDIR", temp_.dir};
};

TEST_F(WorkDirTest, CreatedInTmpDirOnceAndPrivate) {
  const char* path = nullptr;
  size_t len = getWorkDir(&path);
  std::string expected = temp_.path(nameFor('Z'));
  ASSERT_NE(nullptr, path);
  EXPECT_EQ(expected, path);
  EXPECT_EQ(expected.size(), len);
  struct stat st;
  ASSERT_EQ(0, stat(path, &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 0777);  // a run's files are its user's

  // The second call returns the same path and makes nothing new.
  const char* again = nullptr;
  EXPECT_EQ(len, getWorkDir(&again));
  EXPECT_STREQ(path, again);
  EXPECT_EQ(1u, listDir(temp_.dir).size());
}

TEST_F(WorkDirTest, TrailingSlashInTmpDirIsNotDoubled) {
  setenv("TMPDIR", (temp_.dir + "/").c_str(), 1);
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  EXPECT_EQ(temp_.path(nameFor('Z')), path);
}

TEST_F(WorkDirTest, TakenLettersAreSkipped) {
  // 'Z' is a directory of an earlier process with our identifier, 'Y' a
  // plain file: both count as taken.
  ASSERT_EQ(0, mkdir(temp_.path(nameFor('Z')).c_str(), 0700));
  ASSERT_TRUE(writeFileText(temp_.path(nameFor('Y')), "x"));
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  EXPECT_EQ(temp_.path(nameFor('X')), path);
}

TEST_F(WorkDirTest, FailsWhenAllLettersAreTaken) {
  for (char c = 'A'; c <= 'Z'; ++c)
    ASSERT_EQ(0, mkdir(temp_.path(nameFor(c)).c_str(), 0700));
  const char* path = "untouched";
  EXPECT_EQ(0u, getWorkDir(&path));
  EXPECT_EQ(nullptr, path);
  EXPECT_EQ(0, acquireRunLock());  // no work directory, no lock
}

TEST_F(WorkDirTest, FailsWhenTmpDirCannotTakeADirectory) {
  setenv("TMPDIR", temp_.path("missing/deeper").c_str(), 1);
  const char* path = nullptr;
  EXPECT_EQ(0u, getWorkDir(&path));
  EXPECT_EQ(nullptr, path);
}

TEST_F(WorkDirTest, RunLockIsHeldUntilReleased) {
  EXPECT_EQ(0, releaseRunLock());  // nothing held yet
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  std::string lockFile = std::string(path) + "/__TAV_LOCK__";

  ASSERT_EQ(1, acquireRunLock());
  EXPECT_EQ(1, acquireRunLock());  // already held: nothing new opened
  // Only the lock file is there: no temporary name is left behind.
  EXPECT_EQ(std::set<std::string>{"__TAV_LOCK__"}, listDir(path));
  EXPECT_EQ(1, probeLock(lockFile));

  EXPECT_EQ(1, releaseRunLock());
  EXPECT_EQ(0, releaseRunLock());
  EXPECT_EQ(0, probeLock(lockFile));
  EXPECT_TRUE(fileExists(lockFile));  // the file stays for the sweep
}

TEST_F(WorkDirTest, RunLockIsNotInheritedByChildren) {
  // A child that inherited the lock descriptor would keep the run "live"
  // long after it ended.
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  ASSERT_EQ(1, acquireRunLock());
  // The pipe's write end closes on exec, so EOF on it means the child no
  // longer runs any code of ours.
  int execSeen[2];
  ASSERT_EQ(0, pipe2(execSeen, O_CLOEXEC));
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(execSeen[1]);
  ASSERT_GT(child, 0);
  char byte;
  EXPECT_EQ(0, read(execSeen[0], &byte, 1));
  close(execSeen[0]);
  EXPECT_EQ(1, releaseRunLock());
  EXPECT_EQ(0, probeLock(std::string(path) + "/__TAV_LOCK__"));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

int64_t gSecond;
int64_t knownSecond() { return gSecond; }

// The key of a known second, computed independently from the recurrence
// (eight rounds of s = s * 784718005 + 48315 wrapping in 64 bits, then
// s % 68718952447 truncated toward zero; byte i = s & 0xFF); byte 0 is the
// least significant. Once derived it no longer follows the clock.
TEST(ProcessRandomKeyTest, DerivedOnceFromTheClockByTheRecurrence) {
  struct Case {
    int64_t second;
    uint64_t key;
  } cases[] = {
      // Bytes db 41 b1 bf eb 76 e7 12: the products wrap from round two.
      {1574677086, 0x12e776ebbfb141dbULL},
      // A clock that cannot be read: negative remainders.
      {-1, 0x8b6c59b0403cb006ULL},
  };
  ScopedPlatformCall clock("wallClockSeconds", knownSecond);
  for (const Case& c : cases) {
    gSecond = c.second;
    resetRandomKeyForTesting();
    EXPECT_EQ(c.key, processRandomKey()) << c.second;
    gSecond += 1000;
    EXPECT_EQ(c.key, processRandomKey()) << c.second;
  }
}

}  // namespace
