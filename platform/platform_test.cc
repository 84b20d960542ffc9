#include "platform/platform.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

// Waits (bounded) until `path` exists.
static bool waitForFile(const std::string& path, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (fileExists(path)) return true;
    usleep(50 * 1000);
  }
  return false;
}

TEST(PlatformLockTest, HeldLockCannotBeRemovedFreeOneCan) {
  ScopedTempDir tmp;
  std::string path = tmp.path("__TAV_LOCK__");
  LockFile* lock = lockFileAcquire(path.c_str());
  ASSERT_NE(lock, nullptr);
  // Only the final name exists: the temporary name was renamed into place.
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(readFileBytes(path, &bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 0);
  EXPECT_TRUE(fileExists(path));
  // Another process sees it held too (flock(1), as other tools probe it).
  RunResult probe = runProgram({"/usr/bin/flock", "-n", path, "true"});
  EXPECT_NE(probe.status, 0);
  lockFileRelease(lock);
  probe = runProgram({"/usr/bin/flock", "-n", path, "true"});
  EXPECT_EQ(probe.status, 0);
  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 1);
  EXPECT_FALSE(fileExists(path));
  // Missing lock file: nothing to remove.
  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 0);
}

TEST(PlatformLockTest, LinkInPlaceOfLockIsRemovedNotFollowed) {
  ScopedTempDir tmp;
  std::string target = tmp.path("precious");
  ASSERT_TRUE(writeFileText(target, "keep"));
  std::string link = tmp.path("__TAV_LOCK__");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(lockFileRemoveIfFree(link.c_str()), 1);
  EXPECT_FALSE(fileExists(link));
  EXPECT_TRUE(fileExists(target));
  // A dangling link too: followed, it would look like no lock file at all
  // and stay for good.
  ASSERT_EQ(symlink(tmp.path("gone").c_str(), link.c_str()), 0);
  EXPECT_EQ(lockFileRemoveIfFree(link.c_str()), 1);
  EXPECT_FALSE(fileExists(link));
}

TEST(PlatformDirScanTest, MatchesPatternAndReportsKinds) {
  ScopedTempDir tmp;
  ASSERT_EQ(makeDir(tmp.path("TAV1Z-SKIFFRELAY").c_str()), 1);
  ASSERT_TRUE(writeFileText(tmp.path("TAV2Z-SKIFFRELAY"), "file"));
  ASSERT_EQ(symlink("/", tmp.path("TAV3Z-SKIFFRELAY").c_str()), 0);
  ASSERT_EQ(makeDir(tmp.path("TAV4Z-OTHER").c_str()), 1);
  // Making an existing directory again fails.
  EXPECT_EQ(makeDir(tmp.path("TAV1Z-SKIFFRELAY").c_str()), 0);

  DirScan* scan = dirScanOpen(tmp.dir.c_str(), "TAV*-SKIFFRELAY");
  ASSERT_NE(scan, nullptr);
  DirEntry entry;
  int dirs = 0, files = 0, links = 0;
  while (dirScanNext(scan, &entry)) {
    std::string name = entry.name;
    EXPECT_NE(name, "TAV4Z-OTHER");
    EXPECT_TRUE(entry.info.isOurs);
    if (entry.info.isLink) ++links;
    else if (entry.info.isDir) ++dirs;
    else ++files;
  }
  dirScanClose(scan);
  EXPECT_EQ(dirs, 1);
  EXPECT_EQ(files, 1);
  EXPECT_EQ(links, 1);  // the link to "/" is a link, not a directory
  EXPECT_EQ(dirScanOpen(tmp.path("missing").c_str(), "*"), nullptr);
}

TEST(PlatformSpawnTest, DetachedChildInheritsNothingAndLeavesNoZombie) {
  ScopedTempDir tmp;
  std::string lockPath = tmp.path("__TAV_LOCK__");
  std::string out = tmp.path("child.txt");
  LockFile* lock = lockFileAcquire(lockPath.c_str());
  ASSERT_NE(lock, nullptr);
  // The child reports its session and standard output, then lingers so
  // that an inherited lock descriptor would still be open below.
  std::string script =
      "awk '{print $6}' /proc/$$/stat > " + out + ".tmp; echo $$ >> " + out +
      ".tmp; readlink /proc/$$/fd/0 /proc/$$/fd/2 >> " + out + ".tmp; mv " + out + ".tmp " +
      out + "; sleep 3";
  const char* args[] = {"-c", script.c_str(), nullptr};
  ASSERT_EQ(spawnDetached("/bin/sh", args), 1);
  // The intermediate process was reaped: no child of ours is left.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  ASSERT_TRUE(waitForFile(out, 10));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(readFileBytes(out, &bytes));
  std::string text(bytes.begin(), bytes.end());
  size_t nl1 = text.find('\n');
  size_t nl2 = text.find('\n', nl1 + 1);
  ASSERT_NE(nl2, std::string::npos);
  EXPECT_NE(text.substr(0, nl1), std::to_string(getsid(0)))
      << "the child runs in a session of its own";
  EXPECT_NE(text.substr(nl1 + 1, nl2 - nl1 - 1), std::to_string(getpid()));
  EXPECT_EQ(text.substr(nl2 + 1), "/dev/null\n/dev/null\n");
  // Released here while the child still runs: if the child had inherited
  // the lock descriptor, the lock would stay held.
  lockFileRelease(lock);
  EXPECT_EQ(lockFileRemoveIfFree(lockPath.c_str()), 1);
}

// A child's token names it while it runs, and no longer once it has
// ended, a zombie too.
TEST(PlatformProcessTokenTest, ChildRunningEndedAndZombie) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char childToken[64];
    size_t n = processToken(childToken, sizeof childToken);
    if (write(ready[1], childToken, n) < 0) _exit(1);
    sleepMilliseconds(300);
    _exit(0);
  }
  close(ready[1]);
  char childToken[64] = {0};
  ssize_t n = read(ready[0], childToken, sizeof childToken - 1);
  close(ready[0]);
  ASSERT_GT(n, 0);
  EXPECT_EQ(waitForProcessEnd(childToken, 0), 0);
  EXPECT_EQ(waitForProcessEnd(childToken, 10000), 1);  // a zombie by then
  EXPECT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(waitForProcessEnd(childToken, 0), 1);
}

// Stand-ins that each leave a mark of their own.
static FILE* failingOpen(const char*, const char*) { return nullptr; }
static size_t markedWrite(const void*, size_t, FILE*) { return 1234; }
static int failingMakeDir(const char*) { return 0; }
static int failingSpawn(const char*, const char* const*) { return 0; }
static int64_t fixedClock() { return 1574677086; }
static void* failingAllocateZeroed(size_t, size_t) { return nullptr; }
static void* failingAllocate(size_t) { return nullptr; }
static void* failingReallocate(void*, size_t) { return nullptr; }

// Each public call runs the replacement set for its own row, and its
// default again once the replacement is gone.
TEST(PlatformCallTest, EachCallRunsItsRowUntilRestored) {
  ScopedTempDir tmp;
  std::string file = tmp.path("f");
  std::string dir = tmp.path("d");
  {
    ScopedPlatformCall openCall("openFile", failingOpen);
    ScopedPlatformCall writeCall("writeFile", markedWrite);
    ScopedPlatformCall makeDirCall("makeDir", failingMakeDir);
    ScopedPlatformCall spawnCall("spawnDetached", failingSpawn);
    ScopedPlatformCall clockCall("wallClockSeconds", fixedClock);
    ScopedPlatformCall zeroedCall("allocateZeroed", failingAllocateZeroed);
    ScopedPlatformCall allocateCall("allocate", failingAllocate);
    ScopedPlatformCall reallocateCall("reallocate", failingReallocate);
    EXPECT_EQ(openFile(file.c_str(), "wb"), nullptr);
    EXPECT_EQ(writeFile("abc", 3, stdout), 1234u);
    EXPECT_EQ(makeDir(dir.c_str()), 0);
    const char* args[] = {"a", nullptr};
    EXPECT_EQ(spawnDetached("/bin/true", args), 0);
    EXPECT_EQ(wallClockSeconds(), 1574677086);
    EXPECT_EQ(allocateZeroed(1, 1), nullptr);
    EXPECT_EQ(allocate(1), nullptr);
    EXPECT_EQ(reallocate(nullptr, 1), nullptr);
    EXPECT_EQ(platformGetCall("wallClockSeconds"),
              reinterpret_cast<PlatformCall>(fixedClock));
  }
  EXPECT_FALSE(fileExists(file));
  EXPECT_FALSE(fileExists(dir));
  FILE* f = openFile(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(writeFile("abc", 3, f), 3u);
  fclose(f);
  EXPECT_EQ(makeDir(dir.c_str()), 1);
  EXPECT_GT(wallClockSeconds(), 1574677086);
  void* block = reallocate(allocate(8), 16);
  EXPECT_NE(block, nullptr);
  free(block);
  EXPECT_NE(platformGetCall("wallClockSeconds"),
            reinterpret_cast<PlatformCall>(fixedClock));
  EXPECT_EQ(platformSetCall("noSuchCall", nullptr), 0);
  EXPECT_EQ(platformGetCall("noSuchCall"), nullptr);
}

TEST(PlatformEnvTest, EmptyValueRemovesVariable) {
  ASSERT_EQ(setEnv("SKIFF_TEST_VAR", "x"), 1);
  ASSERT_NE(getEnv("SKIFF_TEST_VAR"), nullptr);
  EXPECT_STREQ(getEnv("SKIFF_TEST_VAR"), "x");
  ASSERT_EQ(setEnv("SKIFF_TEST_VAR", ""), 1);
  EXPECT_EQ(getEnv("SKIFF_TEST_VAR"), nullptr);
}

TEST(PlatformTempDirTest, TmpdirOrDefault) {
  ScopedEnv tmpdir("TMPDIR", "/var/tmp//");
  char buf[64];
  EXPECT_EQ(platformTempDir(buf, sizeof buf), 8u);
  EXPECT_STREQ(buf, "/var/tmp");
  setenv("TMPDIR", "", 1);
  EXPECT_EQ(platformTempDir(buf, sizeof buf), 4u);
  EXPECT_STREQ(buf, "/tmp");
  setenv("TMPDIR", "/", 1);
  EXPECT_EQ(platformTempDir(buf, sizeof buf), 1u);
  EXPECT_STREQ(buf, "/");
  setenv("TMPDIR", std::string(100, 'a').c_str(), 1);
  EXPECT_EQ(platformTempDir(buf, sizeof buf), 0u);  // refused, not cut
}

// The run changes its current directory after making its work directory
// there, so a relative TMPDIR must come back as a full path.
TEST(PlatformTempDirTest, RelativeTmpdirBecomesFull) {
  ScopedEnv tmpdir("TMPDIR", "rel/tmp/");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  std::string base = std::string(cwd) == "/" ? "" : cwd;
  char buf[4200];
  EXPECT_EQ(platformTempDir(buf, sizeof buf), base.size() + 8);
  EXPECT_EQ(std::string(buf), base + "/rel/tmp");
  // The current directory counts towards the size limit.
  EXPECT_EQ(platformTempDir(buf, base.size() + 8), 0u);
  EXPECT_EQ(platformTempDir(buf, base.size() + 9), base.size() + 8);
}
