#include "launcher/work_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
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
  // plain file, 'X' a dangling link: all count as taken, and the link is
  // not followed (its target is not made).
  ASSERT_EQ(0, mkdir(temp_.path(nameFor('Z')).c_str(), 0700));
  ASSERT_TRUE(writeFileText(temp_.path(nameFor('Y')), "x"));
  ASSERT_EQ(0, symlink(temp_.path("target").c_str(),
                       temp_.path(nameFor('X')).c_str()));
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  EXPECT_EQ(temp_.path(nameFor('W')), path);
  EXPECT_FALSE(fileExists(temp_.path("target")));
}

TEST_F(WorkDirTest, OnlyTheLetterAFree) {
  for (char c = 'B'; c <= 'Z'; ++c)
    ASSERT_EQ(0, mkdir(temp_.path(nameFor(c)).c_str(), 0700));
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  EXPECT_EQ(temp_.path(nameFor('A')), path);
}

uint8_t gRandomByte;
int sameRandomBytes(void* out, size_t size) {
  memset(out, gRandomByte, size);
  return 1;
}
int failingRandomBytes(void*, size_t) { return 0; }

// All 26 names squatted (directories, files, links): the run gets a
// private directory under an unpredictable name the sweep still matches.
TEST_F(WorkDirTest, AllLettersTakenGivesARandomPrivateName) {
  for (char c = 'A'; c <= 'Z'; ++c) {
    std::string name = temp_.path(nameFor(c));
    if (c % 3 == 0) {
      ASSERT_EQ(0, mkdir(name.c_str(), 0700));
    } else if (c % 3 == 1) {
      ASSERT_TRUE(writeFileText(name, "x"));
    } else {
      ASSERT_EQ(0, symlink("/nonexistent", name.c_str()));
    }
  }
  std::set<std::string> made;
  for (int run = 0; run < 2; ++run) {
    resetWorkDirForTesting();
    const char* path = nullptr;
    ASSERT_NE(0u, getWorkDir(&path));
    std::string name = std::string(path).substr(temp_.dir.size() + 1);
    EXPECT_EQ(0, fnmatch("TAV_[a-z0-9][a-z0-9][a-z0-9][a-z0-9][a-z0-9][a-z0-9]"
                         "[a-z0-9][a-z0-9][a-z0-9][a-z0-9][a-z0-9][a-z0-9]"
                         "-SKIFFRELAY",
                         name.c_str(), 0))
        << name;
    struct stat st;
    ASSERT_EQ(0, lstat(path, &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    made.insert(name);
  }
  EXPECT_EQ(2u, made.size());  // not predictable from one run to the next

  // Every byte value maps to a letter or digit: 36, 72 and 252 are the
  // ones just past the alphabet's length and its multiples.
  for (uint8_t byte : {35, 36, 72, 252, 255}) {
    ScopedPlatformCall fixed("randomBytes", sameRandomBytes);
    gRandomByte = byte;
    resetWorkDirForTesting();
    const char* path = nullptr;
    ASSERT_NE(0u, getWorkDir(&path));
    std::string name = std::string(path).substr(temp_.dir.size() + 1);
    EXPECT_EQ(27u, name.size()) << name;
    ASSERT_EQ(0, rmdir(path));
  }
  gRandomByte = 0;

  // A random source that repeats itself, or fails, ends after a bounded
  // number of tries with the reason.
  ScopedPlatformCall same("randomBytes", sameRandomBytes);
  for (int run = 0; run < 2; ++run) {
    resetWorkDirForTesting();
    const char* path = nullptr;
    std::string err;
    EXPECT_EQ(run == 0 ? 1 : 0, getWorkDir(&path, &err) != 0);
    if (run == 1) {
      EXPECT_EQ("unable to create a work directory in " + temp_.dir, err);
    }
  }
  ScopedPlatformCall failing("randomBytes", failingRandomBytes);
  resetWorkDirForTesting();
  const char* path = nullptr;
  EXPECT_EQ(0u, getWorkDir(&path));
  EXPECT_EQ(nullptr, path);
  EXPECT_EQ(0, acquireRunLock());  // no work directory, no lock
}

int failingMakeDir(const char*) {
  errno = EACCES;  // not for lack of room: no other candidate is tried
  return 0;
}
std::vector<std::string> gAsked;
int noDirAllowsExec(const char* dir) {
  gAsked.push_back(dir);
  return 0;
}

TEST_F(WorkDirTest, FailuresSayWhichDirectory) {
  {
    ScopedPlatformCall makeDirCall("makeDir", failingMakeDir);
    const char* path = nullptr;
    std::string err;
    EXPECT_EQ(0u, getWorkDir(&path, &err));
    EXPECT_EQ(nullptr, path);
    EXPECT_EQ("unable to create a work directory in " + temp_.dir, err);
  }
  // Candidates in order: TMPDIR, the system's two, the executable's own
  // directory; when none allows loading code, the line names TMPDIR.
  ScopedPlatformCall exec("dirAllowsExec", noDirAllowsExec);
  char exe[1024];
  ASSERT_NE(0u, getExePath(exe));
  std::string exeDir(exe, strrchr(exe, '/'));
  for (bool unset : {false, true}) {
    if (unset) unsetenv("TMPDIR");
    gAsked.clear();
    const char* path = nullptr;
    std::string err;
    EXPECT_EQ(0u, getWorkDir(&path, &err));
    std::vector<std::string> asked = {"/tmp", "/var/tmp", exeDir};
    if (!unset) asked.insert(asked.begin(), temp_.dir);
    EXPECT_EQ(asked, gAsked);
    EXPECT_NE(std::string::npos, err.find("set TMPDIR")) << err;
    EXPECT_NE(std::string::npos, err.find(asked[0] + ", ")) << err;
  }
}

std::string gAllowedPrefix;
std::string gExeDir;
int onlyTmpdirAndExeDir(const char* dir) {
  return std::string(dir).compare(0, gAllowedPrefix.size(), gAllowedPrefix) ==
             0 ||
         dir == gExeDir;
}
int fullUnderPrefix(const char* path) {
  if (std::string(path).compare(0, gAllowedPrefix.size(), gAllowedPrefix) ==
      0) {
    errno = ENOSPC;
    return 0;
  }
  return mkdir(path, 0700) == 0;
}

// A directory without room is passed over for the next candidate, at the
// first mkdir or when a run moves on; the line for a run with nowhere
// left names each directory with its reason.
TEST_F(WorkDirTest, NoRoomMovesToTheNextCandidate) {
  char exe[1024];
  ASSERT_NE(0u, getExePath(exe));
  gExeDir = std::string(exe, strrchr(exe, '/'));
  gAllowedPrefix = temp_.dir;
  ScopedPlatformCall exec("dirAllowsExec", onlyTmpdirAndExeDir);
  const char* path = nullptr;
  ASSERT_NE(0u, getWorkDir(&path));
  std::string first = path;
  EXPECT_EQ(temp_.path(nameFor('Z')), first);
  ASSERT_NE(0u, nextWorkDir(kWorkDirNoRoom, &path));
  std::string second = path;
  EXPECT_EQ(gExeDir + "/" + nameFor('Z'), second);
  EXPECT_STREQ(second.c_str(), workDirPath());
  std::string err;
  EXPECT_EQ(0u, nextWorkDir(kWorkDirPathTooLong, &path, &err));
  EXPECT_EQ(nullptr, path);
  EXPECT_EQ("no temporary directory can hold a run (" + temp_.dir + ": " +
                kWorkDirNoRoom +
                "; /tmp: missing or mounted noexec; "
                "/var/tmp: missing or mounted noexec; " +
                gExeDir + ": " + kWorkDirPathTooLong +
                "); set TMPDIR to one that does",
            err);
  ASSERT_EQ(0, rmdir(first.c_str()));
  ASSERT_EQ(0, rmdir(second.c_str()));

  // A full TMPDIR already at the first mkdir.
  ScopedPlatformCall full("makeDir", fullUnderPrefix);
  resetWorkDirForTesting();
  ASSERT_NE(0u, getWorkDir(&path));
  EXPECT_EQ(second, path);
  ASSERT_EQ(0, rmdir(path));
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
