#include "host/prepare.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

std::vector<uint8_t> bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Collects what is written to standard error between start() and stop().
struct StderrCapture {
  int saved = -1;
  std::string file;
  void start(const std::string& path) {
    file = path;
    fflush(stderr);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved = dup(2);
    dup2(fd, 2);
    close(fd);
  }
  std::string stop() {
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::vector<uint8_t> data;
    readFileBytes(file, &data);
    return std::string(data.begin(), data.end());
  }
};

// An executable path beside which the test lays out its archives, a
// private TMPDIR for the work directory, and PATH restored afterwards.
class PrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(temp_.path("tmp").c_str(), 0700));
    ASSERT_EQ(0, mkdir(temp_.path("app").c_str(), 0700));
    resetWorkDirForTesting();
    exePath_ = temp_.path("app/skiffrelay");
  }
  void TearDown() override {
    releaseArchives();
    platformSetCall("openFile", nullptr);
    resetWorkDirForTesting();
  }
  void writeArchive(const std::string& name,
                    const std::vector<WriterMember>& members) {
    std::string err;
    ASSERT_EQ(1, writeArchiveFile(temp_.path("app/" + name).c_str(), 2,
                                  members, &err))
        << err;
  }
  void writeGoodArchives() {
    writeArchive("bin.qar", {{"libpython3.11.so.1.0", bytes("runtime")},
                             {"libssl.so", bytes("ssl")}});
    writeArchive("modules.qar", {{"tav_init.zip", emptyZip()},
                                 {"a.__init__", bytes("package a")},
                                 {"a.b", bytes("module a.b")},
                                 {".__init__", bytes("nameless")},
                                 {"ext.so", bytes("extension")}});
  }
  // Runs prepareArchives; its result, and standard error in *err.
  int prepare(std::string* err, char* runtimePath) {
    StderrCapture capture;
    capture.start(temp_.path("stderr"));
    int ok = prepareArchives(exePath_.c_str(), runtimePath);
    *err = capture.stop();
    return ok;
  }
  std::string workDir() {
    const char* dir = nullptr;
    getWorkDir(&dir);
    return dir ? dir : "";
  }

  ScopedTempDir temp_;
  ScopedEnv tmpdir_{"TMPDIR", temp_.path("tmp")};
  ScopedEnv path_{"PATH", "/usr/bin:/bin"};
  std::string exePath_;
};

TEST_F(PrepareTest, ExtractsRegistersAndPublishes) {
  writeGoodArchives();
  char runtimePath[1024];
  std::string err;
  ASSERT_EQ(1, prepare(&err, runtimePath));
  EXPECT_EQ("", err);

  std::string dir = workDir();
  EXPECT_EQ(dir + "/" + kRuntimeLibraryName, runtimePath);
  EXPECT_EQ(dir + ":/usr/bin:/bin", getenv("PATH"));
  for (const char* name : {"libpython3.11.so.1.0", "libssl.so",
                           "tav_init.zip", "a.__init__", "a.b", "ext.so"}) {
    EXPECT_TRUE(fileExists(dir + "/" + name)) << name;
  }
  std::vector<uint8_t> content;
  ASSERT_TRUE(readFileBytes(dir + "/ext.so", &content));
  EXPECT_EQ(bytes("extension"), content);

  EXPECT_EQ(temp_.path("app/modules.qar"), coreModulePath());
  EXPECT_EQ(temp_.path("app/modules.qar"), appModulePath());
  EXPECT_EQ(dir, extensionPath());

  // Both handles: "a.__init__" answers as "a", "a.b" stays, and the
  // member named ".__init__" becomes the empty name.
  Archive* core = moduleArchive(kModuleTypeCore);
  Archive* app = moduleArchive(kModuleTypeApp);
  ASSERT_NE(nullptr, core);
  ASSERT_NE(nullptr, app);
  EXPECT_NE(core, app);
  EXPECT_EQ(nullptr, moduleArchive(kModuleTypeExtension));
  EXPECT_EQ(nullptr, moduleArchive(kArchiveSlots));
  for (Archive* archive : {core, app}) {
    EXPECT_NE(nullptr, findMember(archive, "a"));
    EXPECT_NE(nullptr, findMember(archive, "a.b"));
    EXPECT_NE(nullptr, findMember(archive, ""));
    EXPECT_EQ(nullptr, findMember(archive, "a.__init__"));
    EXPECT_EQ(nullptr, findMember(archive, ".__init__"));
  }
  uint8_t* code = nullptr;
  uint32_t length = readMember(app, findMember(app, "a"), &code);
  EXPECT_EQ("package a", std::string(reinterpret_cast<char*>(code), length));
  free(code);

  HashTable* packages = packageSet();
  ASSERT_NE(nullptr, packages);
  EXPECT_EQ(2u, tableCount(packages));  // "a" and "", each once
  EXPECT_TRUE(tableContains(packages, "a"));
  EXPECT_TRUE(tableContains(packages, ""));
  EXPECT_FALSE(tableContains(packages, "a.b"));

  EXPECT_EQ(1, releaseArchives());
  EXPECT_EQ(nullptr, moduleArchive(kModuleTypeCore));
  EXPECT_EQ(nullptr, packageSet());
  EXPECT_STREQ("", coreModulePath());
}

TEST_F(PrepareTest, PackageNamesThatCollideStayConsistent) {
  // "p.__init__.__init__" would rename onto a member that is itself
  // renamed: whatever the walk order, every package set entry must name
  // a live member of the archive.
  writeArchive("bin.qar", {{"lib", bytes("x")}});
  writeArchive("modules.qar", {{"tav_init.zip", emptyZip()},
                               {"p.__init__.__init__", bytes("outer")},
                               {"p.__init__", bytes("inner")},
                               {"p", bytes("module p")}});
  char runtimePath[1024];
  std::string err;
  ASSERT_EQ(1, prepare(&err, runtimePath));
  for (Archive* archive : {moduleArchive(kModuleTypeCore),
                           moduleArchive(kModuleTypeApp)}) {
    EXPECT_EQ(4u, tableCount(archive->members));
  }
  HashTable* packages = packageSet();
  HashEntry entry;
  for (int more = tableFirst(packages, &entry); more;
       more = tableNext(packages, &entry)) {
    Archive* core = moduleArchive(kModuleTypeCore);
    Archive* app = moduleArchive(kModuleTypeApp);
    EXPECT_TRUE(findMember(core, entry.key) == entry.value ||
                findMember(app, entry.key) == entry.value)
        << entry.key;
  }
}

TEST_F(PrepareTest, EmptyOrUnsetPathGetsNoEmptyEntry) {
  // An empty entry in PATH would mean the current directory.
  writeGoodArchives();
  for (bool unset : {false, true}) {
    if (unset)
      unsetenv("PATH");
    else
      setenv("PATH", "", 1);
    resetWorkDirForTesting();
    char runtimePath[1024];
    std::string err;
    ASSERT_EQ(1, prepare(&err, runtimePath));
    EXPECT_EQ(workDir(), getenv("PATH"));
    releaseArchives();
  }
}

// openFile stand-in that fails the Nth read-open of modules.qar.
int gFailModulesOpen;
int gModulesOpens;
FILE* failNthModulesOpen(const char* path, const char* mode) {
  size_t n = strlen(path);
  if (strcmp(mode, "rb") == 0 && n >= 11 &&
      strcmp(path + n - 11, "modules.qar") == 0 &&
      ++gModulesOpens == gFailModulesOpen) {
    return nullptr;
  }
  return fopen(path, mode);
}

TEST_F(PrepareTest, EachFailureHasItsLine) {
  const std::string kLibraries =
      "# Error: unable to extract required libraries\r\n";
  const std::string kCore =
      "# Error: unable to load the core modules archive\r\n";
  const std::string kApp =
      "# Error: unable to load the application modules archive\r\n";
  const std::string kExtensions =
      "# Error: unable to extract the python extensions archive\r\n";
  const std::string kClash =
      "# Error: modules.qar member \"libssl.so\" has the name of a member "
      "of bin.qar\r\n";
  const std::string kInitZip =
      "# Error: modules.qar holds no usable tav_init.zip (missing, or not a "
      "zip archive)\r\n";
  struct Case {
    const char* what;
    const char* bin;      // "good", "corrupt" or "missing"
    // "good", "corrupt", "missing", "unsafe", "clash" (a member named
    // like one of bin.qar), "no zip" or "bad zip" (tav_init.zip)
    const char* modules;
    int failOpen;         // fail this open of modules.qar (0: none)
    std::string line;
  };
  const Case cases[] = {
      {"no archives", "missing", "missing", 0, kLibraries},
      {"corrupt libraries", "corrupt", "good", 0, kLibraries},
      {"no modules", "good", "missing", 0, kCore},
      {"corrupt modules", "good", "corrupt", 0, kCore},
      {"second open fails", "good", "good", 2, kApp},
      {"extraction open fails", "good", "good", 3, kExtensions},
      {"member not extractable", "good", "unsafe", 0, kExtensions},
      {"member named like a library", "good", "clash", 0, kClash},
      {"no tav_init.zip", "good", "no zip", 0, kInitZip},
      {"tav_init.zip not a zip", "good", "bad zip", 0, kInitZip},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(temp_.path("app/bin.qar").c_str());
    unlink(temp_.path("app/modules.qar").c_str());
    writeGoodArchives();
    if (strcmp(c.bin, "missing") == 0) unlink(temp_.path("app/bin.qar").c_str());
    if (strcmp(c.bin, "corrupt") == 0)
      writeFileText(temp_.path("app/bin.qar"), "qZaB not an archive");
    if (strcmp(c.modules, "missing") == 0)
      unlink(temp_.path("app/modules.qar").c_str());
    if (strcmp(c.modules, "corrupt") == 0)
      writeFileText(temp_.path("app/modules.qar"), "junk");
    if (strcmp(c.modules, "unsafe") == 0)
      writeArchive("modules.qar", {{"ok.so", bytes("x")},
                                   {"../escape.so", bytes("y")}});
    if (strcmp(c.modules, "clash") == 0)
      writeArchive("modules.qar", {{"tav_init.zip", emptyZip()},
                                   {"libssl.so", bytes("impostor")}});
    if (strcmp(c.modules, "no zip") == 0)
      writeArchive("modules.qar", {{"a.b", bytes("module a.b")}});
    if (strcmp(c.modules, "bad zip") == 0)
      writeArchive("modules.qar", {{"tav_init.zip", bytes("PK not a zip")}});
    gModulesOpens = 0;
    gFailModulesOpen = c.failOpen;
    if (c.failOpen)
      platformSetCall("openFile", reinterpret_cast<PlatformCall>(failNthModulesOpen));
    resetWorkDirForTesting();
    char runtimePath[1024];
    std::string err;
    EXPECT_EQ(0, prepare(&err, runtimePath));
    platformSetCall("openFile", nullptr);
    EXPECT_EQ(c.line, err);
    if (strcmp(c.modules, "clash") == 0) {
      // Refused before anything of modules.qar was written.
      EXPECT_EQ((std::set<std::string>{"libpython3.11.so.1.0", "libssl.so"}),
                listDir(workDir()));
      std::vector<uint8_t> ssl;
      ASSERT_TRUE(readFileBytes(workDir() + "/libssl.so", &ssl));
      EXPECT_EQ(bytes("ssl"), ssl);
    }
    releaseArchives();
  }
  EXPECT_FALSE(fileExists(temp_.path("escape.so")));
  EXPECT_FALSE(fileExists(temp_.path("tmp/escape.so")));
}

int failingMakeDir(const char*) { return 0; }

TEST_F(PrepareTest, NoWorkDirectoryIsALibrariesFailure) {
  writeGoodArchives();
  ScopedPlatformCall makeDirCall("makeDir", failingMakeDir);
  char runtimePath[1024];
  std::string err;
  EXPECT_EQ(0, prepare(&err, runtimePath));
  EXPECT_EQ("# Error: unable to extract required libraries\r\n", err);
  EXPECT_STREQ("", runtimePath);
  EXPECT_EQ("/usr/bin:/bin", std::string(getenv("PATH")));
}

}  // namespace
