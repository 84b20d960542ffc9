// The Win32 layer under its own rules: short temporary directory, module
// file name bounds, the lock file's sharing mode, FindFirstFileA listings,
// detached CreateProcessA children, LoadLibraryA. Runs under wine in CI.
#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "tests/test_util_win32.h"

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string tempDirNow() {
  char out[1024];
  size_t n = platformTempDir(out, sizeof out);
  return n ? std::string(out, n) : std::string();
}

TEST(Win32TempDirTest, ShortFormWithoutTrailingBackslash) {
  ScopedTempDir tmp;
  std::string longDir = tmp.path("a long directory name");
  ASSERT_EQ(makeDir(longDir.c_str()), 1);
  std::string drive = tmp.dir.substr(0, 2);  // "C:"
  ASSERT_EQ(drive[1], ':');

  struct Case {
    std::string tmpValue;
    std::string expected;  // empty: platformTempDir fails
  };
  const Case cases[] = {
      // The long name is replaced by its 8.3 form: no blank remains.
      {longDir, shortPath(longDir)},
      {longDir + "\\", shortPath(longDir)},
      // A drive root keeps no backslash: names then follow a single one.
      {drive + "\\", drive},
      // A directory that does not exist has no short form.
      {tmp.path("missing"), ""},
  };
  for (const Case& c : cases) {
    ScopedEnv env("TMP", c.tmpValue);
    std::string got = tempDirNow();
    EXPECT_EQ(lower(c.expected), lower(got)) << c.tmpValue;
    EXPECT_EQ(got.find(' '), std::string::npos) << got;
    if (!got.empty()) {
      EXPECT_NE(got.back(), '\\') << got;
    }
  }
  ScopedEnv env("TMP", longDir);
  char small[8];
  EXPECT_EQ(platformTempDir(small, sizeof small), 0u);  // never truncated
}

TEST(Win32ExePathTest, FullPathAndBufferBound) {
  char path[1024];
  size_t n = platformExePath(path, sizeof path);
  ASSERT_GT(n, 3u);
  EXPECT_EQ(strlen(path), n);
  EXPECT_EQ(path[1], ':');
  EXPECT_EQ(path[2], '\\');
  std::string name(path);
  EXPECT_EQ(lower(name.substr(name.size() - 16)), "\\skiff_tests.exe");

  // A buffer exactly as long as the path leaves no room for the NUL: the
  // answer may be cut, so it is refused, never handed out.
  std::vector<char> exact(n);
  EXPECT_EQ(platformExePath(exact.data(), n), 0u);
  std::vector<char> enough(n + 1);
  EXPECT_EQ(platformExePath(enough.data(), n + 1), n);
  EXPECT_STREQ(enough.data(), path);
}

// Sharing modes are enforced by the wineserver of one prefix: the second
// process below runs in the same prefix as this test, as every process
// of a real Windows session does.
TEST(Win32LockTest, HeldLockFileCannotBeDeletedByAnyProcess) {
  ScopedTempDir tmp;
  std::string path = tmp.path("__TAV_LOCK__");
  LockFile* lock = lockFileAcquire(path.c_str());
  ASSERT_NE(lock, nullptr);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(readFileBytes(path, &bytes));  // read sharing: it opens
  EXPECT_TRUE(bytes.empty());
  FILE* writer = fopen(path.c_str(), "ab");  // write sharing as well
  EXPECT_NE(writer, nullptr);
  if (writer) fclose(writer);

  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 0);
  EXPECT_EQ(deleteFileInOtherProcess(path), 0);
  EXPECT_TRUE(fileExists(path));

  lockFileRelease(lock);
  EXPECT_TRUE(fileExists(path));  // released, not deleted
  EXPECT_EQ(deleteFileInOtherProcess(path), 1);
  EXPECT_FALSE(fileExists(path));
  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 0);  // nothing left

  lock = lockFileAcquire(path.c_str());
  ASSERT_NE(lock, nullptr);
  lockFileRelease(lock);
  EXPECT_EQ(lockFileRemoveIfFree(path.c_str()), 1);
  EXPECT_EQ(lockFileAcquire(tmp.path("missing\\__TAV_LOCK__").c_str()),
            nullptr);
}

TEST(Win32DirScanTest, WildcardListingWithKinds) {
  ScopedTempDir tmp;
  ASSERT_EQ(makeDir(tmp.path("TAV1Z-SKIFFRELAY").c_str()), 1);
  ASSERT_TRUE(writeFileText(tmp.path("TAV2Z-SKIFFRELAY"), "file"));
  ASSERT_EQ(makeDir(tmp.path("TAV3Z-OTHER").c_str()), 1);
  // File names are case-insensitive here, and so is the pattern.
  ASSERT_EQ(makeDir(tmp.path("tav4y-skiffrelay").c_str()), 1);
  EXPECT_EQ(makeDir(tmp.path("TAV1Z-SKIFFRELAY").c_str()), 0);

  struct Case {
    const char* pattern;
    int dirs, files;  // -1, -1: the listing does not start
  };
  const Case cases[] = {
      {"TAV*-SKIFFRELAY", 2, 1},
      {"*", 3, 1},  // "." and ".." are not listed
      {"TAV?Z-*", 2, 1},
      {"NOTHING*", -1, -1},
  };
  int64_t now = wallClockSeconds();
  for (const Case& c : cases) {
    DirScan* scan = dirScanOpen(tmp.dir.c_str(), c.pattern);
    if (c.dirs < 0) {
      EXPECT_EQ(scan, nullptr) << c.pattern;
      continue;
    }
    ASSERT_NE(scan, nullptr) << c.pattern;
    int dirs = 0, files = 0;
    DirEntry entry;
    while (dirScanNext(scan, &entry)) {
      EXPECT_TRUE(entry.info.exists && entry.info.isOurs) << entry.name;
      EXPECT_FALSE(entry.info.isLink) << entry.name;
      EXPECT_LT(llabs(entry.info.mtime - now), 3600) << entry.name;
      (entry.info.isDir ? dirs : files)++;
    }
    dirScanClose(scan);
    EXPECT_EQ(dirs, c.dirs) << c.pattern;
    EXPECT_EQ(files, c.files) << c.pattern;
  }
  EXPECT_EQ(dirScanOpen(tmp.path("missing").c_str(), "*"), nullptr);
}

TEST(Win32DirScanTest, DirectoryLinkIsALinkNotADirectory) {
  ScopedTempDir tmp;
  std::string target = tmp.path("target");
  ASSERT_EQ(makeDir(target.c_str()), 1);
  ASSERT_TRUE(writeFileText(target + "\\keep", "keep"));
  std::string link = tmp.path("TAV9Z-SKIFFRELAY");
  if (!makeDirectoryLink(link, target)) {
    GTEST_SKIP() << "no symbolic links here (wine accepts the call and "
                    "creates nothing)";
  }
  PathInfo info;
  ASSERT_EQ(statPath(link.c_str(), &info), 1);
  EXPECT_TRUE(info.isLink);
  EXPECT_FALSE(info.isDir);
  EXPECT_EQ(removeFile(link.c_str()), 1);  // the link, not the target
  EXPECT_TRUE(fileExists(target + "\\keep"));
}

TEST(Win32EnvTest, ChangesReachChildrenAndEmptyRemoves) {
  ScopedEnv guard("SKIFF_WIN32_TEST_VAR", "");
  ASSERT_EQ(setEnv("SKIFF_WIN32_TEST_VAR", "one;two"), 1);
  EXPECT_STREQ(getEnv("SKIFF_WIN32_TEST_VAR"), "one;two");
  // The process environment, which children and the DLL search through
  // PATH see, holds the same value.
  RunResult r = runProgram({"cmd.exe", "/c", "echo", "%SKIFF_WIN32_TEST_VAR%"});
  EXPECT_EQ(r.out.substr(0, 7), "one;two");
  ASSERT_EQ(setEnv("SKIFF_WIN32_TEST_VAR", ""), 1);
  EXPECT_EQ(getEnv("SKIFF_WIN32_TEST_VAR"), nullptr);
  r = runProgram({"cmd.exe", "/c", "echo", "%SKIFF_WIN32_TEST_VAR%"});
  EXPECT_EQ(r.out.substr(0, 22), "%SKIFF_WIN32_TEST_VAR%");
}

// The detached child is the launcher in cleanup mode: it removes a stale
// work directory beside the path it is given, which shows that it ran
// with exactly the quoted arguments.
TEST(Win32SpawnTest, DetachedChildGetsItsArgumentsAndParentDoesNotWait) {
  ScopedTempDir tmp;
  std::string parent = tmp.path("with blank");
  ASSERT_EQ(makeDir(parent.c_str()), 1);
  std::string stale = parent + "\\TAV1Z-SKIFFRELAY";
  ASSERT_EQ(makeDir(stale.c_str()), 1);
  ASSERT_TRUE(writeFileText(stale + "\\__TAV_LOCK__", ""));
  std::string launcher = nativePath(SKIFF_LAUNCHER_PATH);
  std::string beside = parent + "\\TAV2A-SKIFFRELAY";
  const char* args[] = {"--remove_temp_files", beside.c_str(), nullptr};
  ASSERT_EQ(spawnDetached(launcher.c_str(), args), 1);
  bool gone = false;
  for (int i = 0; i < 400 && !gone; ++i) {  // at most 20 s
    gone = !fileExists(stale);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(gone);

  EXPECT_EQ(spawnDetached(tmp.path("missing.exe").c_str(), args), 0);
  // A command line beyond 2048 bytes is refused, not cut.
  std::string longArg(2100, 'x');
  const char* longArgs[] = {"--remove_temp_files", longArg.c_str(), nullptr};
  EXPECT_EQ(spawnDetached(launcher.c_str(), longArgs), 0);
}

TEST(Win32LibraryTest, LoadFindUnload) {
  std::string path = nativePath(SKIFF_FAKE_RUNTIME_PATH);
  EXPECT_EQ(loadLibrary((path + ".missing").c_str()), nullptr);
  void* library = loadLibrary(path.c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(libraryIsLoaded(path));
  EXPECT_NE(findSymbol(library, "Py_Initialize"), nullptr);
  EXPECT_NE(findSymbol(library, "Py_NoSiteFlag"), nullptr);
  EXPECT_EQ(findSymbol(library, "Py_SetProgramName"), nullptr);
  EXPECT_EQ(findSymbol(nullptr, "Py_Initialize"), nullptr);
  unloadLibrary(library);
  EXPECT_FALSE(libraryIsLoaded(path));
}

}  // namespace

// Archive members are written under their names: a device name would send
// the content to a device instead of a file.
TEST(Win32ReservedNamesTest, DevicesAndOddEndingsAreReserved) {
  const char* reserved[] = {"CON", "nul", "Nul.txt", "aux.tar.gz", "PRN",
                            "com1", "LPT9.log", "a:b", "name.", "name "};
  const char* ordinary[] = {"CONSOLE", "nul_", "com0", "lpt10", "COM",
                            "tav_init.zip", "python311.dll", "a.b.pyd"};
  for (const char* name : reserved) EXPECT_EQ(1, isReservedFileName(name)) << name;
  for (const char* name : ordinary) EXPECT_EQ(0, isReservedFileName(name)) << name;
}
