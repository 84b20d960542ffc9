// The Windows launcher end to end, as far as it goes without a runtime
// library for Windows: archive preparation, then the stop at the binding
// with status 2. Also: its manifest resource and exact CR LF error lines.
#include "main/startup.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "host/prepare.h"
#include "platform/platform.h"
#include "tests/test_util.h"
#include "tests/test_util_win32.h"

namespace {

std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

class LauncherWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = temp_.path("app");
    tmp_ = temp_.path("tmp");
    ASSERT_EQ(makeDir(app_.c_str()), 1);
    ASSERT_EQ(makeDir(tmp_.c_str()), 1);
    std::vector<uint8_t> exe;
    ASSERT_TRUE(readFileBytes(nativePath(SKIFF_LAUNCHER_PATH), &exe));
    exePath_ = app_ + "\\skiffrelay.exe";
    ASSERT_TRUE(writeFileBytes(exePath_, exe));
  }

  void writeArchive(const char* name, const std::vector<WriterMember>& members) {
    std::string err;
    (void)removeFile((app_ + "\\" + name).c_str());  // absent the first time
    ASSERT_EQ(writeArchiveFile((app_ + "\\" + name).c_str(), 2, members, &err),
              1)
        << err;
  }

  RunResult run() {
    return runProgram({exePath_, "send"},
                      {"TMP=" + tmp_, "SKIFF_MARKER_FILE=" + marker()});
  }
  std::string marker() { return temp_.path("loaded.marker"); }

  // The work directories the runs left in the temporary directory.
  std::vector<std::string> workDirs() {
    std::vector<std::string> found;
    DirScan* scan = dirScanOpen(tmp_.c_str(), "TAV*-SKIFFRELAY");
    DirEntry entry;
    while (scan && dirScanNext(scan, &entry)) {
      if (entry.info.isDir) found.push_back(tmp_ + "\\" + entry.name);
    }
    dirScanClose(scan);
    return found;
  }

  ScopedTempDir temp_;
  std::string app_, tmp_, exePath_;
};

TEST_F(LauncherWin32Test, NoArchivesIsStatusOneWithOneCrLfLine) {
  RunResult r = run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // Exactly one CR LF: the stream adds no second CR.
  EXPECT_EQ(r.err, "# Error: unable to extract required libraries\r\n");
  // The run removed its work directory at its end.
  EXPECT_EQ(workDirs(), std::vector<std::string>{});
}

TEST_F(LauncherWin32Test, WithoutRuntimeLibraryStopsAtBindingWithStatusTwo) {
  std::vector<uint8_t> markerDll;
  ASSERT_TRUE(readFileBytes(nativePath(SKIFF_MARKER_RUNTIME_PATH), &markerDll));
  struct Case {
    const char* what;
    std::vector<WriterMember> libraries;
    bool loads;  // LoadLibraryA succeeds on the extracted file
  };
  const Case cases[] = {
      {"no runtime library", {{"readme.txt", bytes("libraries")}}, false},
      {"runtime library that is no DLL",
       {{"readme.txt", bytes("libraries")},
        {kRuntimeLibraryName, bytes("MZ but nothing more")}},
       false},
      // It loads from the work directory, but none of the interpreter's
      // names are there: the run stops before calling any of them.
      {"DLL without the runtime's names",
       {{"readme.txt", bytes("libraries")}, {kRuntimeLibraryName, markerDll}},
       true},
  };
  for (const Case& c : cases) {
    (void)removeFile(marker().c_str());
    writeArchive("bin.qar", c.libraries);
    writeArchive("modules.qar", {{"tav_init.zip", emptyZip()},
                                 {"pkg.__init__", bytes("# package")},
                                 {"pkg.mod", bytes("# module")},
                                 {"ext.pyd", bytes("extension")}});
    RunResult r = run();
    EXPECT_EQ(r.status, 2) << c.what << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(fileExists(marker()), c.loads) << c.what;
  }
  // Each run removed its work directory, extracted files, lock file and
  // all, once it had unloaded the library and released the lock.
  EXPECT_EQ(workDirs(), std::vector<std::string>{});
}

TEST_F(LauncherWin32Test, ManifestResourceAsksAsInvokerAndTheCRuntime) {
  std::string manifest = manifestOf(exePath_);
  ASSERT_FALSE(manifest.empty());
  for (const char* text :
       {"level=\"asInvoker\"", "uiAccess=\"false\"",
        "name=\"Microsoft.VC90.CRT\"", "version=\"9.0.21022.8\"",
        "processorArchitecture=\"x86\"",
        "publicKeyToken=\"1fc8b3b9a1e18e3b\""}) {
    EXPECT_NE(manifest.find(text), std::string::npos) << text;
  }
}

}  // namespace
