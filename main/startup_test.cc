// The whole launcher under the stand-in runtime (tests/standin_runtime.cc).
// Packed as the runtime library into bin.qar beside a copy of the
// launcher, the stand-in writes down every runtime call of a run, so the
// start-up and teardown read back in order: the interpreter's settings,
// sys.argv and sys.path, the embedded modules in load order, the exit
// decision, finalisation, and the unload while the modules archive and the
// lock are still held. Each case runs against the export set of a 3.x
// runtime and against that of a 2.7 runtime, natively and under wine.
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "host/embedded_order.h"
#include "host/prepare.h"
#include "platform/platform.h"
#include "tests/embedded_names.h"
#include "tests/test_util.h"

#ifdef _WIN32
#include <direct.h>

#include "tests/test_util_win32.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
const char kSep[] = "\\";
const char kTempVariable[] = "TMP";
std::string hostPath(const std::string& path) { return nativePath(path); }
// The launcher works under the short form of the temporary directory.
std::string launcherTempDir(const std::string& dir) { return shortPath(dir); }
int changeDir(const char* dir) { return _chdir(dir); }
char* currentDir(char* out, int size) { return _getcwd(out, size); }
#else
const char kSep[] = "/";
const char kTempVariable[] = "TMPDIR";
std::string hostPath(const std::string& path) { return path; }
std::string launcherTempDir(const std::string& dir) { return dir; }
int changeDir(const char* dir) { return chdir(dir); }
char* currentDir(char* out, int size) { return getcwd(out, size); }
#endif

// An empty zip file: its end-of-directory record alone.
const std::vector<uint8_t> kEmptyZip = {'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0,
                                        0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0};

// This process's current directory while the object lives: a program
// started by a relative name is looked up from there.
struct ScopedCurrentDir {
  explicit ScopedCurrentDir(const std::string& dir) {
    char buffer[4096];
    if (currentDir(buffer, sizeof buffer)) old = buffer;
    changed = changeDir(dir.c_str()) == 0;
  }
  ~ScopedCurrentDir() {
    if (changed && !old.empty()) (void)changeDir(old.c_str());
  }
  std::string old;
  bool changed;
};

// `line` equals `pattern`, or begins with it when the pattern ends in '*'.
bool lineMatches(const std::string& line, const std::string& pattern) {
  if (pattern.empty() || pattern.back() != '*') return line == pattern;
  return line.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) ==
         0;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

// Each of `expected` found in `lines` in this order, other lines between.
testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                 const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const std::string& want : expected) {
    while (at < lines.size() && !lineMatches(lines[at], want)) ++at;
    if (at == lines.size()) {
      return testing::AssertionFailure()
             << "not found in order: " << want << "\ncalls:\n"
             << joinLines(lines);
    }
    ++at;
  }
  return testing::AssertionSuccess();
}

// What the log shows appended to the list object `list`, in order.
std::vector<std::string> appendedTo(const std::vector<std::string>& lines,
                                    const std::string& list) {
  std::vector<std::string> items;
  std::string prefix = "PyList_Append " + list + " ";
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      items.push_back(line.substr(prefix.size()));
    }
  }
  return items;
}

// The rest of the first line that begins with `prefix`, or "".
std::string afterPrefix(const std::vector<std::string>& lines,
                        const std::string& prefix) {
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return line.substr(prefix.size());
    }
  }
  return "";
}

// What differs between the two export sets in the log of one run.
struct StandInVersion {
  const char* name;
  const char* library;
  const char* lacking;  // the copy without Py_Initialize
  // The call that names the initial search path (3.x) or the home it is
  // computed from (2.7): the zip in the work directory either way.
  const char* searchPathCall;
  // The line that makes _tav_import.
  const char* makeModule;
  // 3.x is given wide copies of the two start-up texts, freed after
  // Py_Finalize; 2.7 keeps the launcher's own buffers.
  bool freesWideTexts;
};

const StandInVersion kStandInVersions[] = {
    {"py3", SKIFF_STANDIN_RUNTIME_PATH, SKIFF_STANDIN_LACKING_PATH,
     "Py_SetPath ",
     "PyModule_AddFunctions _tav_import "
     "createModule,execModule,hasModule,isPackage",
     true},
    {"py27", SKIFF_STANDIN_RUNTIME27_PATH, SKIFF_STANDIN_LACKING27_PATH,
     "Py_SetPythonHome ",
     "Py_InitModule4 _tav_import createModule,execModule,hasModule,isPackage "
     "Extensions and faster C implementations for the python module "
     "'tav_import' null 1013",
     false},
};

void PrintTo(const StandInVersion& version, std::ostream* out) {
  *out << version.name;
}

class StandInRuntimeTest : public testing::TestWithParam<StandInVersion> {
 protected:
  void SetUp() override {
    app_ = temp_.path("app");
    tmp_ = temp_.path("tmp");
    log_ = temp_.path("calls.log");
    ASSERT_EQ(makeDir(app_.c_str()), 1);
    ASSERT_EQ(makeDir(tmp_.c_str()), 1);
    exeName_ = std::string("skiffrelay") + kExecutableSuffix;
    exe_ = app_ + kSep + exeName_;
    std::vector<uint8_t> image;
    ASSERT_TRUE(readFileBytes(hostPath(SKIFF_LAUNCHER_PATH), &image));
    ASSERT_TRUE(writeFileBytes(exe_, image));
#ifndef _WIN32
    ASSERT_EQ(chmod(exe_.c_str(), 0700), 0);
#endif
    writeArchive("modules.qar", {{kInitZipName, kEmptyZip}});
  }

  void writeArchive(const char* name,
                    const std::vector<WriterMember>& members) {
    std::string path = app_ + kSep + name;
    std::string err;
    (void)removeFile(path.c_str());  // absent the first time
    ASSERT_EQ(writeArchiveFile(path.c_str(), 2, members, &err), 1) << err;
  }

  // bin.qar holding `library` as the runtime library.
  void packRuntime(const char* library) {
    std::vector<uint8_t> image;
    ASSERT_TRUE(readFileBytes(hostPath(library), &image));
    writeArchive("bin.qar", {{kRuntimeLibraryName, image}});
  }

  // One "send" run, started by a relative name from the launcher's
  // folder; `raise` names the exception the main script ends with,
  // `extraArg` follows the five arguments when given, `extraEnv` adds to
  // the environment ("NAME=" unsets NAME).
  RunResult run(const std::string& raise, const std::string& extraArg = "",
                const std::vector<std::string>& extraEnv = {}) {
    (void)removeFile(log_.c_str());
    ScopedCurrentDir cwd(app_);
    std::vector<std::string> args = {std::string(".") + kSep + exeName_,
                                     "send",
                                     "host",
                                     "user",
                                     "pass word",
                                     "file"};
    if (!extraArg.empty()) args.push_back(extraArg);
    std::vector<std::string> env = {
        std::string(kTempVariable) + "=" + tmp_, "SKIFF_STANDIN_LOG=" + log_,
        "SKIFF_STANDIN_RAISE=" + raise, "PYTHONHOME=" + tmp_};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return runProgram(args, env, 60, app_);
  }

  std::vector<std::string> calls() {
    std::vector<uint8_t> data;
    std::vector<std::string> lines;
    if (!readFileBytes(log_, &data)) return lines;
    std::string line;
    for (uint8_t c : data) {
      if (c != '\n') {
        line += static_cast<char>(c);
        continue;
      }
      lines.push_back(line);
      line.clear();
    }
    return lines;
  }

  // The lock file free once the run is over (or already swept by the
  // run's own cleanup child, which may hold it for a moment).
  static bool lockFreedSoon(const std::string& lock) {
    for (int attempt = 0; attempt < 250; ++attempt) {
      if (!fileExists(lock) || lockFileRemoveIfFree(lock.c_str())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  ScopedTempDir temp_;
  std::string app_, tmp_, log_, exeName_, exe_;
};

TEST_P(StandInRuntimeTest, WholeStartUpAndTeardownInOrder) {
  const StandInVersion& version = GetParam();
  packRuntime(version.library);
  std::string moduleDir = std::string("skiffrelay") + kExecutableSuffix + kSep;
  struct Case {
    const char* raise;  // the exception pending after the main script
    int status;
    std::vector<std::string> decision;  // in order, after the main script
    const char* never;                  // a call that must not happen
  };
  const Case cases[] = {
      {"", 0, {"PyErr_Occurred"}, "PyErr_ExceptionMatches*"},
      {"SystemExit",
       1,
       {"PyErr_Occurred", "PyErr_ExceptionMatches SystemExit", "PyErr_Clear"},
       "PyImport_ImportModule tav_error"},
      // Anything else goes to the error reporter.
      {"Exception",
       1,
       {"PyErr_Occurred", "PyErr_ExceptionMatches SystemExit",
        "PyErr_ExceptionMatches KeyboardInterrupt", "PyErr_Fetch",
        "PyImport_ImportModule tav_error",
        "PyTuple_SetItem tuple#1 0 Exception",
        "PyObject_CallObject tav_error.ErrorObject tuple#1",
        "PyObject_CallMethod tav_error.ErrorObject() showExceptionInfo null",
        "PyObject_CallMethod tav_error.ErrorObject() dumpExceptionInfo null",
        "PyObject_CallMethod tav_error.ErrorObject() dumpMemory null",
        "PyObject_CallFunction tav_error.ERROR_HANDLER (O) "
        "tav_error.ErrorObject()"},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("pending: ") + c.raise);
    RunResult r = run(c.raise);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    std::vector<std::string> log = calls();
    ASSERT_FALSE(log.empty());

    // The work directory, as the search path names it: in the temporary
    // directory, named for this run.
    std::string initZip = afterPrefix(log, version.searchPathCall);
    std::string suffix = std::string(kSep) + kInitZipName;
    ASSERT_GT(initZip.size(), suffix.size());
    ASSERT_EQ(initZip.substr(initZip.size() - suffix.size()), suffix);
    std::string workDir = initZip.substr(0, initZip.size() - suffix.size());
    std::string runDirs = launcherTempDir(tmp_) + kSep + "TAV";
    const std::string kRunSuffix = "-SKIFFRELAY";
    EXPECT_TRUE(lineMatches(workDir, runDirs + "*") &&
                workDir.size() > runDirs.size() + kRunSuffix.size() &&
                workDir.compare(workDir.size() - kRunSuffix.size(),
                                kRunSuffix.size(), kRunSuffix) == 0)
        << workDir;

    std::vector<std::string> expected = {
        "Py_IsInitialized",
        "Py_SetProgramName " + exe_,
        version.searchPathCall + initZip,
        "Py_Initialize Py_NoSiteFlag=42 Py_FrozenFlag=42 "
        "Py_DontWriteBytecodeFlag=42 Py_IgnoreEnvironmentFlag=1 "
        "PYTHONHOME=unset PATH=*",
        "PyEval_InitThreads",
        "PyObject_SetAttrString sys argv list#*",
        "PyObject_SetAttrString sys path list#*",
        "PyList_Append sys.path '" + app_ + "'",
        version.makeModule,
        "PyList_Append sys.path '" + workDir + "'",
    };
    auto runs = [&](const char* name) {
      return "PyImport_ExecCodeModuleEx " + std::string(name) + " code " +
             moduleDir + name;
    };
    for (size_t i = 0; i < kFrameworkModuleCount; ++i) {
      expected.push_back(runs(kEmbeddedModuleNames[i]));
    }
    expected.push_back("PyObject_CallFunction tav_path.ensure_workdir null");
    expected.push_back(
        "PyObject_CallFunction tav_import.registerImporterClasses null");
    expected.push_back(runs(kEmbeddedModuleNames[kSiteRecord]));
    expected.push_back(runs(kEmbeddedModuleNames[kMainRecord]));
    expected.insert(expected.end(), c.decision.begin(), c.decision.end());
    // The module references, last to first; the main script's is null
    // when it ended with an exception.
    expected.push_back(
        std::string("Py_DecRef ") +
        (c.raise[0] ? "null" : kEmbeddedModuleNames[kMainRecord]));
    for (size_t i = kMainRecord; i-- > 0;) {
      expected.push_back(std::string("Py_DecRef ") + kEmbeddedModuleNames[i]);
    }
    expected.push_back("Py_Finalize");
    // The wide texts handed over at start-up stay alive until then.
    if (version.freesWideTexts) {
      expected.push_back("PyMem_RawFree " + initZip);
      expected.push_back("PyMem_RawFree " + exe_);
    }
    // Unloaded before the archives are closed and the lock released.
    expected.push_back("unload modules.qar=open __TAV_LOCK__=open");
    EXPECT_TRUE(inOrder(log, expected));
    EXPECT_EQ(log.back(), expected.back());
    if (c.never) {
      for (const std::string& line : log) {
        EXPECT_FALSE(lineMatches(line, c.never)) << line;
      }
    }

    // sys.argv: the executable's full path although it was started by a
    // relative name, then the arguments as given; sys.path: the
    // executable's directory and the work directory, nothing else.
    std::string argvList = afterPrefix(log, "PyObject_SetAttrString sys argv ");
    EXPECT_EQ(appendedTo(log, argvList),
              (std::vector<std::string>{"'" + exe_ + "'", "'send'", "'host'",
                                        "'user'", "'pass word'", "'file'"}));
    EXPECT_EQ(
        appendedTo(log, "sys.path"),
        (std::vector<std::string>{"'" + app_ + "'", "'" + workDir + "'"}));
    EXPECT_TRUE(lockFreedSoon(workDir + kSep + "__TAV_LOCK__"));
  }
}

// The start-up's other roads: child mode with and without a failing main
// script, a framework module that fails with an exception pending, a
// runtime that is initialised already, and an unset PATH.
TEST_P(StandInRuntimeTest, ChildModeFailuresAndInitialisedRuntime) {
  const StandInVersion& version = GetParam();
  packRuntime(version.library);
  const std::string kHandOver = "PyRun_SimpleString *";
  const std::string kFork = "--multiprocessing-fork";
  auto has = [](const std::vector<std::string>& log,
                const std::string& pattern) {
    for (const std::string& line : log)
      if (lineMatches(line, pattern)) return true;
    return false;
  };
  {
    SCOPED_TRACE("child mode");
    RunResult r = run("", kFork);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(inOrder(
        calls(),
        {"PyImport_ExecCodeModuleEx __fork__ *",
         "PyRun_SimpleString import sys; sys.modules['__main__'] = "
         "sys.modules['__fork__']",
         "PyRun_SimpleString from multiprocessing import freeze_support; "
         "freeze_support()",
         "Py_Finalize"}));
  }
  {
    SCOPED_TRACE("child mode, the main script fails");
    RunResult r = run("Exception", kFork);
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> log = calls();
    EXPECT_TRUE(inOrder(log, {"PyImport_ExecCodeModuleEx __fork__ *",
                              "PyImport_ImportModule tav_error"}));
    EXPECT_FALSE(has(log, kHandOver));
  }
  {
    SCOPED_TRACE("a framework module fails with an exception pending");
    RunResult r = run("", "", {"SKIFF_STANDIN_FAIL=tav_path"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed loading embedded module 'tav_path'\n");
    std::vector<std::string> log = calls();
    EXPECT_TRUE(inOrder(
        log, {"PyImport_ExecCodeModuleEx tav_path *", "PyErr_Fetch",
              "PyImport_ImportModule tav_error",
              "PyObject_CallMethod tav_error.ErrorObject() showExceptionInfo "
              "null",
              "Py_Finalize"}));
    EXPECT_FALSE(has(log, "PyImport_ExecCodeModuleEx __main__ *"));
  }
  {
    SCOPED_TRACE("runtime initialised already");
    RunResult r = run("", "", {"SKIFF_STANDIN_INITIALIZED=1"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> log = calls();
    EXPECT_FALSE(has(log, "Py_Initialize*"));
    EXPECT_FALSE(has(log, "Py_SetProgramName *"));
    EXPECT_FALSE(has(log, "PyObject_SetAttrString sys argv *"));
    EXPECT_TRUE(inOrder(log, {"PyObject_SetAttrString sys path list#*",
                              "PyList_Append sys.path '" + app_ + "'",
                              "PyImport_ExecCodeModuleEx __main__ *"}));
  }
  {
    // An empty entry in a PATH list means the current directory on POSIX
    // only: there PATH becomes the work directory alone.
    SCOPED_TRACE("PATH unset");
    RunResult r = run("", "", {"PATH="});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> log = calls();
    std::string initZip = afterPrefix(log, version.searchPathCall);
    std::string workDir =
        initZip.substr(0, initZip.size() - strlen(kInitZipName) - 1);
    std::string path = afterPrefix(log, "Py_Initialize ");
    path = path.substr(path.find(" PATH=") + 6);
    EXPECT_EQ(path, workDir + (kEmptyPathEntryIsCurrentDir ? "" : ";"));
  }
}

TEST_P(StandInRuntimeTest, LackingOneRequiredNameStopsBeforeAnyCall) {
  packRuntime(GetParam().lacking);
  RunResult r = run("");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  // Loaded and unloaded again, nothing called in between.
  EXPECT_EQ(calls(), std::vector<std::string>{"unload"});
}

// A runtime that keeps a library of the work directory loaded until the
// process ends, as 2.7 keeps its extension modules: the run's directory
// is gone soon after the run all the same. (On Windows, where the file
// stays in use until then, the run's cleanup child removes it once the
// process has ended.)
TEST_P(StandInRuntimeTest, LibraryLoadedToTheEndLeavesNoWorkDirectory) {
  packRuntime(GetParam().library);
  std::vector<uint8_t> library;
  ASSERT_TRUE(readFileBytes(hostPath(SKIFF_HELD_LIBRARY_PATH), &library));
  std::string held = std::string("held") + kExtensionModuleSuffix;
  writeArchive("modules.qar", {{kInitZipName, kEmptyZip}, {held, library}});
  RunResult r = run("", "", {"SKIFF_STANDIN_HOLD=" + held});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string initialize = afterPrefix(calls(), "Py_Initialize ");
  EXPECT_NE(initialize.find(" held=loaded"), std::string::npos) << initialize;
  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {  // 30 s at most
    DirScan* scan = dirScanOpen(tmp_.c_str(), "TAV*-SKIFFRELAY");
    DirEntry entry;
    gone = !scan || !dirScanNext(scan, &entry);
    dirScanClose(scan);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(gone);
}

INSTANTIATE_TEST_SUITE_P(Runtimes, StandInRuntimeTest,
                         testing::ValuesIn(kStandInVersions),
                         [](const testing::TestParamInfo<StandInVersion>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
