#include "launcher/cleanup.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher/work_dir.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

// A directory laid out like work directories of other runs, swept as the
// cleanup child of a run living in it would sweep it.
class SweepTest : public ::testing::Test {
 protected:
  std::string makeDir(const std::string& name) {
    std::string path = temp_.path(name);
    EXPECT_EQ(0, mkdir(path.c_str(), 0700)) << path;
    return path;
  }
  // A work directory with two extracted files and, if asked, a lock file
  // that no run holds any more.
  std::string makeWorkDir(const std::string& name, bool withFreeLock) {
    std::string dir = makeDir(name);
    EXPECT_TRUE(writeFileText(dir + "/libpython.so", "lib"));
    EXPECT_TRUE(writeFileText(dir + "/mod.so", "mod"));
    if (withFreeLock) {
      LockFile* lock = lockFileAcquire((dir + "/__TAV_LOCK__").c_str());
      EXPECT_NE(nullptr, lock);
      lockFileRelease(lock);
    }
    return dir;
  }
  // Moves the modification time back, as for a directory made long ago.
  void age(const std::string& path) {
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    ASSERT_EQ(0, lutimes(path.c_str(), times)) << path;
  }
  // The argument a cleanup child gets: some run's work directory, which
  // need not exist any more.
  void sweep() { sweepStaleWorkDirs(temp_.path("TAV1A-SKIFFRELAY").c_str()); }

  ScopedTempDir temp_;
};

// Holds the run lock of `dir` in a child process, as a live run does,
// until stop() kills it.
struct LockHolder {
  pid_t pid = -1;
  bool start(const std::string& dir) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      LockFile* lock = lockFileAcquire((dir + "/__TAV_LOCK__").c_str());
      char ok = lock ? '1' : '0';
      (void)!write(ready[1], &ok, 1);
      for (int i = 0; i < 60; ++i) sleep(1);  // killed long before
      _exit(0);
    }
    close(ready[1]);
    char ok = '0';
    bool got = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == '1';
    close(ready[0]);
    return got;
  }
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~LockHolder() { stop(); }
};

TEST_F(SweepTest, LiveRunIsKeptAndRemovedOnceItEnds) {
  std::string live = makeWorkDir("TAV100Z-SKIFFRELAY", false);
  LockHolder holder;
  ASSERT_TRUE(holder.start(live));
  age(live);
  sweep();
  EXPECT_TRUE(fileExists(live + "/__TAV_LOCK__"));
  EXPECT_TRUE(fileExists(live + "/libpython.so"));
  EXPECT_TRUE(fileExists(live + "/mod.so"));

  holder.stop();  // the run ends: its lock goes with its process
  sweep();
  EXPECT_FALSE(fileExists(live));
}

TEST_F(SweepTest, StaleDirectoriesGoOthersStay) {
  // Finished run, directory just made: a free lock file is stale at once.
  std::string finished = makeWorkDir("TAV101Z-SKIFFRELAY", true);
  // No lock file and old: a run that never got its lock.
  std::string oldNoLock = makeWorkDir("TAV102Z-SKIFFRELAY", false);
  age(oldNoLock);
  // No lock file and young: a run between making and locking its
  // directory.
  std::string youngNoLock = makeWorkDir("TAV103Z-SKIFFRELAY", false);
  // Not work directories of ours by shape.
  std::string plainFile = temp_.path("TAV104Z-SKIFFRELAY");
  ASSERT_TRUE(writeFileText(plainFile, "not a directory"));
  std::string otherName = makeWorkDir("TAV105Z-OTHERPROGRAM", true);
  std::string hiddenFiles = makeWorkDir("TAV106Z-SKIFFRELAY", true);
  ASSERT_TRUE(writeFileText(hiddenFiles + "/.hidden", "x"));

  sweep();
  EXPECT_FALSE(fileExists(finished));
  EXPECT_FALSE(fileExists(oldNoLock));
  EXPECT_TRUE(fileExists(youngNoLock + "/libpython.so"));
  EXPECT_TRUE(fileExists(plainFile));
  EXPECT_TRUE(fileExists(otherName + "/libpython.so"));
  EXPECT_FALSE(fileExists(hiddenFiles));
}

TEST_F(SweepTest, LockThatIsADirectoryMeansStale) {
  // No run ever locks a directory: its files go at once, young or not;
  // only the directory and its lock directory stay.
  std::string dir = makeWorkDir("TAV111Z-SKIFFRELAY", false);
  ASSERT_EQ(0, mkdir((dir + "/__TAV_LOCK__").c_str(), 0700));
  sweep();
  EXPECT_EQ(std::set<std::string>{"__TAV_LOCK__"}, listDir(dir));
}

TEST_F(SweepTest, SubdirectoryKeepsItselfAndItsDirectory) {
  std::string dir = makeWorkDir("TAV110Z-SKIFFRELAY", true);
  std::string sub = dir + "/sub";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
  ASSERT_TRUE(writeFileText(sub + "/inner", "kept"));
  sweep();
  EXPECT_FALSE(fileExists(dir + "/__TAV_LOCK__"));
  EXPECT_FALSE(fileExists(dir + "/libpython.so"));
  EXPECT_TRUE(fileExists(sub + "/inner"));

  // Once the subdirectory is gone a later sweep finishes the job, even
  // though the lock file went with the first sweep and the directory is
  // young again.
  ASSERT_EQ(0, unlink((sub + "/inner").c_str()));
  ASSERT_EQ(0, rmdir(sub.c_str()));
  age(dir);
  sweep();
  EXPECT_FALSE(fileExists(dir));
}

TEST_F(SweepTest, LinksAreNeverFollowed) {
  // Everything a followed link would expose to deletion.
  std::string target = makeWorkDir("target", false);
  age(target);
  std::string victim = temp_.path("victim");
  ASSERT_TRUE(writeFileText(victim, "precious"));

  // A link named like a work directory, to a directory that would be
  // stale. The link itself is old too: a young one would be left alone
  // as a run still setting up, and hide a sweep that follows links.
  std::string linkDir = temp_.path("TAV120Z-SKIFFRELAY");
  ASSERT_EQ(0, symlink(target.c_str(), linkDir.c_str()));
  age(linkDir);
  // A stale directory with a link to a file inside, and one whose lock
  // file is a link: a lock probe that followed it could truncate the
  // victim.
  std::string withLink = makeWorkDir("TAV121Z-SKIFFRELAY", true);
  ASSERT_EQ(0, symlink(victim.c_str(), (withLink + "/lnk").c_str()));
  std::string linkedLock = makeWorkDir("TAV122Z-SKIFFRELAY", false);
  ASSERT_EQ(0, symlink(victim.c_str(), (linkedLock + "/__TAV_LOCK__").c_str()));

  sweep();
  EXPECT_TRUE(fileExists(linkDir));
  EXPECT_TRUE(fileExists(target + "/libpython.so"));
  EXPECT_TRUE(fileExists(target + "/mod.so"));
  EXPECT_FALSE(fileExists(withLink));
  EXPECT_FALSE(fileExists(linkedLock));
  std::vector<uint8_t> data;
  ASSERT_TRUE(readFileBytes(victim, &data));
  EXPECT_EQ("precious", std::string(data.begin(), data.end()));
}

TEST_F(SweepTest, DirectoryOfAnotherUserIsSkipped) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to give a directory to another user";
  struct passwd* nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user 'nobody' on this machine";
  std::string dir = makeWorkDir("TAV130Z-SKIFFRELAY", true);
  for (const char* name : {"", "/__TAV_LOCK__", "/libpython.so", "/mod.so"})
    ASSERT_EQ(0, lchown((dir + name).c_str(), nobody->pw_uid, nobody->pw_gid));
  age(dir);
  sweep();
  EXPECT_TRUE(fileExists(dir + "/__TAV_LOCK__"));
  EXPECT_TRUE(fileExists(dir + "/libpython.so"));
}

TEST_F(SweepTest, RunRemovesItsOwnDirectoryAtTheEnd) {
  ScopedEnv tmpdir("TMPDIR", temp_.dir);
  for (bool withSubdir : {false, true}) {
    resetWorkDirForTesting();
    const char* dir = nullptr;
    ASSERT_NE(0u, getWorkDir(&dir));
    std::string path = dir;
    ASSERT_EQ(1, acquireRunLock());
    ASSERT_TRUE(writeFileText(path + "/libpython.so", "lib"));
    ASSERT_TRUE(writeFileText(path + "/.hidden", "x"));
    if (withSubdir) {
      ASSERT_EQ(0, mkdir((path + "/sub").c_str(), 0700));
    }
    EXPECT_EQ(withSubdir ? 0 : 1, removeOwnWorkDir());
    EXPECT_EQ(0, releaseRunLock());  // released on the way
    // What cannot go (the subdirectory) keeps the directory for a sweep.
    if (withSubdir) {
      EXPECT_EQ(std::set<std::string>{"sub"}, listDir(path));
    } else {
      EXPECT_FALSE(fileExists(path));
    }
  }
  resetWorkDirForTesting();
}

TEST_F(SweepTest, ArgumentWithoutParentOrMissingDirectoryIsHarmless) {
  // Only the parent of the argument matters; a missing directory named
  // by it still gets its parent swept.
  std::string stale = makeWorkDir("TAV140Z-SKIFFRELAY", true);
  sweepStaleWorkDirs(temp_.path("gone/TAV1Z-SKIFFRELAY").c_str());
  EXPECT_TRUE(fileExists(stale));
  sweepStaleWorkDirs(temp_.path("TAV1Z-SKIFFRELAY/").c_str());
  EXPECT_FALSE(fileExists(stale));
  std::string tooLong(5000, 'a');
  sweepStaleWorkDirs(tooLong.c_str());
}

}  // namespace
