// End-to-end runs of the built launcher, copied beside test archives.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "host/prepare.h"
#include "tests/test_util.h"

extern char** environ;

namespace {

const char kLibrariesError[] =
    "# Error: unable to extract required libraries\r\n";

std::vector<uint8_t> bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> workDirsIn(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& n : listDir(dir)) {
    if (n.compare(0, 3, "TAV") == 0 && n.size() > 14 &&
        n.compare(n.size() - 11, 11, "-SKIFFRELAY") == 0)
      found.push_back(n);
  }
  return found;
}

double monotonicSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// A launcher copy in app/ with TMPDIR at tmp/, both in a fresh directory.
class LauncherRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(temp_.path("app").c_str(), 0700));
    ASSERT_EQ(0, mkdir(temp_.path("tmp").c_str(), 0700));
    exe_ = temp_.path("app/skiffrelay");
    std::vector<uint8_t> image;
    ASSERT_TRUE(readFileBytes(SKIFF_LAUNCHER_PATH, &image));
    ASSERT_TRUE(writeFileBytes(exe_, image));
    ASSERT_EQ(0, chmod(exe_.c_str(), 0700));
  }
  std::string tmpDir() const { return temp_.path("tmp"); }
  void writeArchives() {
    std::string err;
    ASSERT_EQ(1, writeArchiveFile(
                     temp_.path("app/bin.qar").c_str(), 2,
                     {{kRuntimeLibraryName, bytes("not really a library")},
                      {"libcrypto.so.3", bytes("crypto")}},
                     &err))
        << err;
    ASSERT_EQ(1, writeArchiveFile(temp_.path("app/modules.qar").c_str(), 2,
                                  {{"tav_init.zip", emptyZip()},
                                   {"p.__init__", bytes("package p")},
                                   {"p.m", bytes("module p.m")},
                                   {"_ext.so", bytes("extension")}},
                                  &err))
        << err;
  }
  // Starts the launcher with `args`, standard output and error into
  // files, TMPDIR set. With a `gate` pipe the child waits for EOF on it
  // (all write ends closed) before it starts. With `exeFd` >= 0 the launcher runs from that
  // descriptor (see runDetachedFromItsFile).
  pid_t start(const std::vector<std::string>& args, const std::string& out,
              const std::string& err, const int* gate = nullptr,
              int exeFd = -1) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (gate) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) > 0) {
      }
      close(gate[0]);
    }
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    setenv("TMPDIR", tmpDir().c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(exe_.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (exeFd >= 0)
      fexecve(exeFd, argv.data(), environ);
    else
      execv(exe_.c_str(), argv.data());
    _exit(127);
  }
  // Waits for `pid` at most until `deadline` (monotonic seconds); its exit
  // status, or -1 when it did not end in time (it is killed then).
  static int finish(pid_t pid, double deadline) {
    int status = 0;
    for (;;) {
      pid_t got = waitpid(pid, &status, WNOHANG);
      if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      if (got < 0 || monotonicSeconds() > deadline) break;
      usleep(5000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  std::string text(const std::string& path) {
    std::vector<uint8_t> data;
    readFileBytes(path, &data);
    return std::string(data.begin(), data.end());
  }
  // Runs the launcher once from its file, unlinked first: its own cleanup
  // child then cannot start (the executable's path names no file any
  // more), so the work directory stays for inspection after the run.
  // Its archives are still found beside that path.
  int runDetachedFromItsFile(std::string* err) {
    int fd = open(exe_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::vector<uint8_t> image;
    readFileBytes(exe_, &image);
    unlink(exe_.c_str());
    pid_t pid = start({}, temp_.path("out"), temp_.path("err"), nullptr, fd);
    close(fd);
    int status = finish(pid, monotonicSeconds() + 30);
    writeFileBytes(exe_, image);  // put it back for later runs
    chmod(exe_.c_str(), 0700);
    *err = text(temp_.path("err"));
    return status;
  }
  ScopedTempDir temp_;
  std::string exe_;
};

TEST_F(LauncherRunTest, NoArchivesFailsWithItsLine) {
  std::string err;
  ASSERT_EQ(1, runDetachedFromItsFile(&err));
  EXPECT_EQ(kLibrariesError, err);
  EXPECT_EQ("", text(temp_.path("out")));
  // A run removes its own work directory at its end, failed or not.
  EXPECT_EQ(std::vector<std::string>{}, workDirsIn(tmpDir()));
}

TEST_F(LauncherRunTest, ArchivesExtractedThenRuntimeMissing) {
  writeArchives();
  std::string err;
  // Status 2 without a line: every member was extracted, and the
  // runtime library among them would not load. Its files went with the
  // work directory at the end of the run.
  ASSERT_EQ(2, runDetachedFromItsFile(&err));
  EXPECT_EQ("", err);
  EXPECT_EQ(std::vector<std::string>{}, workDirsIn(tmpDir()));
}

TEST_F(LauncherRunTest, CommandLineModes) {
  // A stale work directory of some earlier run, and a file that only
  // looks like one.
  std::string stale = tmpDir() + "/TAV1Z-SKIFFRELAY";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
    bool sweeps;       // the stale directory is gone right after the run
    bool makesWorkDir;
  };
  const Case cases[] = {
      {{"--remove_temp_files", stale}, 0, "", true, false},
      {{"--remove_temp_files", stale, "more", "--multiprocessing-fork"},
       0, "", true, false},
      // Without its path the option is an ordinary argument.
      {{"--remove_temp_files"}, 1, kLibrariesError, false, true},
      {{"send", "--remove_temp_files", stale}, 1, kLibrariesError, false, true},
      {{"--multiprocessing-fork"}, 1, kLibrariesError, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " ... (" + std::to_string(c.args.size()) + ")");
    ASSERT_EQ(0, system(("rm -rf '" + tmpDir() + "'/*").c_str()));
    ASSERT_EQ(0, mkdir(stale.c_str(), 0700));
    ASSERT_TRUE(writeFileText(stale + "/old.so", "x"));
    ASSERT_TRUE(writeFileText(tmpDir() + "/TAV2Z-SKIFFRELAY", "a file"));
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 3600;
    times[1] = times[0];
    ASSERT_EQ(0, utimes(stale.c_str(), times));

    pid_t pid = start(c.args, temp_.path("out"), temp_.path("err"));
    EXPECT_EQ(c.status, finish(pid, monotonicSeconds() + 30));
    EXPECT_EQ(c.err, text(temp_.path("err")));
    EXPECT_EQ("", text(temp_.path("out")));
    if (c.sweeps) {
      EXPECT_FALSE(fileExists(stale));
    }
    EXPECT_TRUE(fileExists(tmpDir() + "/TAV2Z-SKIFFRELAY"));
    if (!c.makesWorkDir) {
      EXPECT_EQ(std::vector<std::string>{"TAV2Z-SKIFFRELAY"},
                workDirsIn(tmpDir()));
    }
  }
}

TEST_F(LauncherRunTest, CleanupChildSweepsDetached) {
  std::string stale = tmpDir() + "/TAV1Z-SKIFFRELAY";
  ASSERT_EQ(0, mkdir(stale.c_str(), 0700));
  ASSERT_TRUE(writeFileText(stale + "/__TAV_LOCK__", ""));
  ASSERT_TRUE(writeFileText(stale + "/old.so", "x"));
  // runProgram waits for its pipes to close: a child holding them would
  // make it wait for the sweep too.
  RunResult run = runProgram({exe_}, {"TMPDIR=" + tmpDir()}, 30);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(kLibrariesError, run.err);
  double deadline = monotonicSeconds() + 10;
  while (fileExists(stale) && monotonicSeconds() < deadline) usleep(20000);
  EXPECT_FALSE(fileExists(stale));
}

TEST_F(LauncherRunTest, ManyRunsAtOnceKeepTheirDirectories) {
  // Every run's cleanup child sweeps while the other runs start, make
  // their directories and extract into them. A run whose directory went
  // from under it fails its extraction (status 1 and an error line)
  // instead of reaching the runtime (status 2).
  writeArchives();
  const int kRuns = 200;
  ASSERT_EQ(0, mkdir(temp_.path("logs").c_str(), 0700));
  int gate[2];
  ASSERT_EQ(0, pipe(gate));
  std::vector<pid_t> pids;
  for (int i = 0; i < kRuns; ++i) {
    std::string log = temp_.path("logs/" + std::to_string(i));
    pid_t pid = start({"send", "h", "u", "p", "f"}, log + ".out", log + ".err",
                      gate);
    if (pid < 0) break;
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);  // opens the gate for everyone
  double deadline = monotonicSeconds() + 55;
  size_t exitedTwo = 0;
  EXPECT_EQ(static_cast<size_t>(kRuns), pids.size());
  for (size_t i = 0; i < pids.size(); ++i) {
    int status = finish(pids[i], deadline);
    std::string log = temp_.path("logs/" + std::to_string(i));
    EXPECT_EQ(2, status) << "run " << i << ": " << text(log + ".err");
    EXPECT_EQ("", text(log + ".err")) << "run " << i;
    if (status == 2) ++exitedTwo;
  }
  EXPECT_EQ(static_cast<size_t>(kRuns), exitedTwo);

  // Once every run has ended, sweeps remove all their directories.
  std::string anyDir = tmpDir() + "/TAV1Z-SKIFFRELAY";
  double cleanDeadline = monotonicSeconds() + 20;
  while (!workDirsIn(tmpDir()).empty() && monotonicSeconds() < cleanDeadline) {
    RunResult sweep = runProgram({exe_, "--remove_temp_files", anyDir}, {}, 20);
    EXPECT_EQ(0, sweep.status);
    usleep(100000);
  }
  EXPECT_TRUE(workDirsIn(tmpDir()).empty());
}

}  // namespace
