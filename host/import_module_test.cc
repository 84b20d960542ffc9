#include "host/import_module.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "host/live_runtime_test.h"
#include "host/prepare.h"
#include "launcher/paths.h"
#include "launcher/work_dir.h"

namespace {

// Member contents that are no module's code: other marshalled objects,
// `code` cut at every length, and random bytes from a fixed seed.
std::vector<std::vector<uint8_t>> hostileMarshalData(
    const std::vector<uint8_t>& code) {
  std::vector<std::vector<uint8_t>> cases = {
      {0xe9, 42, 0, 0, 0},         // the integer 42
      {'N'},                       // None
      {0xa9, 2, 'N', 'N'},         // the tuple (None, None)
      {'[', 1, 0, 0, 0, 'N'},      // the list [None]
      {'{', '0'},                  // an empty dict
      {0xda, 1, 'x'},              // the text 'x'
      {0xe7, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f},  // 1.5
  };
  for (size_t n = 1; n < code.size(); ++n) {
    cases.emplace_back(code.begin(), code.begin() + n);
  }
  uint32_t state = 20240611;
  for (int i = 0; i < 300; ++i) {
    state = state * 1103515245u + 12345u;
    std::vector<uint8_t> bytes(1 + (state >> 16) % 64);
    for (uint8_t& b : bytes) {
      state = state * 1103515245u + 12345u;
      b = static_cast<uint8_t>(state >> 24);
    }
    cases.push_back(bytes);
  }
  return cases;
}

// _tav_import over a real modules archive: one suite-wide interpreter,
// archives prepared once.
class ImportModuleTest : public LiveRuntimeTest {
 protected:
  static void SetUpTestSuite() {
    LiveRuntimeTest::SetUpTestSuite();
    if (!available_) return;
    temp_ = new ScopedTempDir;
    mkdir(temp_->path("tmp").c_str(), 0700);
    mkdir(temp_->path("app").c_str(), 0700);
    tmpdir_ = new ScopedEnv("TMPDIR", temp_->path("tmp"));
    path_ = new ScopedEnv("PATH", getEnv("PATH") ? getEnv("PATH") : "");
    resetWorkDirForTesting();

    struct Source {
      const char* member;
      const char* code;
    };
    const Source sources[] = {
        {"pkg.__init__", "X = 1\n"},
        {"pkg.mod", "Y = __name__\n"},
        {"plain", "Z = 3\n"},
        {"orphan.sub", "W = 4\n"},
        {"raises", "raise KeyError('boom')\n"},
        {"app_only", "V = 5\n"},
    };
    std::vector<WriterMember> members;
    for (const Source& s : sources) {
      members.push_back({s.member, marshalSource(*temp_, s.code)});
    }
    members.push_back({"broken", {0xff, 0xfe, 0x00}});
    members.push_back({"tav_init.zip", emptyZip()});
    std::vector<std::vector<uint8_t>> hostile =
        hostileMarshalData(members.front().content);
    hostileCount_ = hostile.size();
    for (size_t i = 0; i < hostile.size(); ++i) {
      members.push_back({"hostile_" + std::to_string(i), hostile[i]});
    }
    std::string err;
    ready_ = writeArchiveFile(temp_->path("app/bin.qar").c_str(), 1,
                              {{"placeholder", {'x'}}}, &err) &&
             writeArchiveFile(temp_->path("app/modules.qar").c_str(), 2,
                              members, &err);
    char runtimePath[kPathBufferSize];
    ready_ = ready_ &&
             prepareArchives(temp_->path("app/skiffrelay").c_str(),
                             runtimePath) &&
             initImportModule() != nullptr;
  }
  static void TearDownTestSuite() {
    if (temp_) {
      releaseArchives();
      resetWorkDirForTesting();
      delete path_;  // prepareArchives put the work directory in front
      delete tmpdir_;
      path_ = tmpdir_ = nullptr;
      delete temp_;
      temp_ = nullptr;
    }
    LiveRuntimeTest::TearDownTestSuite();
  }
  void SetUp() override {
    LiveRuntimeTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(ready_) << "archives not prepared";
  }

  // Each row is a script that raises when the module misbehaves.
  static void runCases(const std::vector<std::string>& cases) {
    for (const std::string& code : cases) {
      EXPECT_TRUE(python("import sys, _tav_import as t\n" + code)) << code;
    }
  }

  static inline ScopedTempDir* temp_ = nullptr;
  static inline bool ready_ = false;
  static inline size_t hostileCount_ = 0;
  static inline ScopedEnv* tmpdir_ = nullptr;
  static inline ScopedEnv* path_ = nullptr;
};

TEST_F(ImportModuleTest, ConstantsAndQueries) {
  std::string modules = temp_->path("app/modules.qar");
  runCases({
      // Constants in their fixed order, with the prepared locations; the
      // work directory was appended to sys.path.
      // (2.7's module dictionaries keep no order: there only the names.)
      "names = [k for k in vars(t) if k.isupper()]\n"
      "expected = ['SEARCH_ARCHIVES_FIRST', 'MODULE_TYPE_CORE',"
      " 'MODULE_TYPE_APP', 'MODULE_TYPE_EXTENSION', 'C_EXTENSION_FILETYPE',"
      " 'CORE_MODULE_PATH', 'APP_MODULE_PATH', 'EXTENSION_PATH',"
      " 'CORE_MODULES_ARCHIVED', 'APP_MODULES_ARCHIVED',"
      " 'EXTENSIONS_ARCHIVED']\n"
      "if sys.version_info[0] < 3: names, expected = sorted(names), "
      "sorted(expected)\n"
      "assert names == expected, names\n"
      "assert (t.MODULE_TYPE_CORE, t.MODULE_TYPE_APP,"
      " t.MODULE_TYPE_EXTENSION) == (1, 2, 4)\n"
      "assert t.C_EXTENSION_FILETYPE == '.so'\n"
      "assert t.CORE_MODULE_PATH == t.APP_MODULE_PATH == " +
          quoted(modules) + "\n"
          "assert sys.path[-1] == t.EXTENSION_PATH, sys.path\n",
      "assert t.__doc__.startswith('Extensions and faster C')\n"
      "assert t.createModule.__doc__.startswith('Creates an empty')\n",
      // Both handles hold every module, so the core one answers first.
      "assert t.hasModule('plain') == 1\n"
      "assert t.hasModule('pkg') == 1 and t.hasModule('pkg.__init__') == 0\n"
      "assert t.hasModule('nothing') == 0\n",
      "assert t.isPackage('pkg') == 1\n"
      "assert t.isPackage('pkg.mod') == 0 and t.isPackage('orphan') == 0\n",
      // Wrong arguments raise the parser's TypeError itself.
      "for f, args in ((t.createModule, (1,)), (t.execModule, ('a',)),\n"
      "                (t.hasModule, ()), (t.isPackage, (None,))):\n"
      "    try:\n"
      "        f(*args)\n"
      "    except TypeError:\n"
      "        pass\n"
      "    else:\n"
      "        raise AssertionError(f)\n",
  });
}

TEST_F(ImportModuleTest, CreateModuleFillsFilePackageAndPath) {
  runCases({
      "m = t.createModule('pkg')\n"
      "assert m is sys.modules['pkg']\n"
      "assert m.__file__ == 'skiffrelay/pkg/__init__', m.__file__\n"
      "assert m.__package__ == 'pkg' and m.__path__ == ['skiffrelay/pkg']\n",
      "m = t.createModule('pkg.mod')\n"
      "assert m.__file__ == 'skiffrelay/pkg/mod', m.__file__\n"
      "assert m.__package__ == 'pkg' and not hasattr(m, '__path__')\n",
      // A parent that is not a registered package gives no __package__.
      "m = t.createModule('orphan.sub')\n"
      "assert m.__file__ == 'skiffrelay/orphan/sub'\n"
      "assert m.__package__ is None and not hasattr(m, '__path__')\n",
      // An existing entry is reused, its __file__ overwritten.
      "import types\n"
      "old = sys.modules['reused'] = types.ModuleType('reused')\n"
      "old.__file__ = 'elsewhere'\n"
      "assert t.createModule('reused') is old\n"
      "assert old.__file__ == 'skiffrelay/reused'\n",
  });
}

TEST_F(ImportModuleTest, ExecModuleRunsArchivedCode) {
  runCases({
      "m = t.execModule('plain', 'skiffrelay/plain')\n"
      "assert m is sys.modules['plain'] and m.Z == 3\n"
      "assert m.__file__ == 'skiffrelay/plain'\n",
      "t.createModule('pkg')\n"
      "m = t.execModule('pkg', 'skiffrelay/pkg/__init__')\n"
      "assert m.X == 1 and m.__path__ == ['skiffrelay/pkg']\n",
      // Missing or unreadable code: None, and no exception left behind.
      "assert t.execModule('nothing', 'x') is None\n"
      "assert t.execModule('broken', 'x') is None\n",
      // The module's own exception propagates; the module is not kept.
      "try:\n"
      "    t.execModule('raises', 'skiffrelay/raises')\n"
      "except KeyError:\n"
      "    pass\n"
      "else:\n"
      "    raise AssertionError('no KeyError')\n"
      "assert 'raises' not in sys.modules\n",
      // The interpreter lock is given up during the read: another thread
      // runs meanwhile without deadlock.
      "import threading\n"
      "done = []\n"
      "th = threading.Thread(target=lambda: done.append(1))\n"
      "th.start()\n"
      "for _ in range(50): t.execModule('plain', 'skiffrelay/plain')\n"
      "th.join(10)\n"
      "assert done == [1]\n",
  });
}

// A module the core archive cannot give is read from the application
// archive (two handles on one file here: the core's entry is renamed
// away).
TEST_F(ImportModuleTest, ExecModuleFallsBackToTheApplicationArchive) {
  Archive* core = moduleArchive(kModuleTypeCore);
  ArchiveMember* member = findMember(core, "app_only");
  ASSERT_NE(nullptr, member);
  ASSERT_EQ(1, renameMember(core, &member, "app_only.gone"));
  runCases({
      "assert t.hasModule('app_only') == t.MODULE_TYPE_APP\n"
      "m = t.execModule('app_only', 'skiffrelay/app_only')\n"
      "assert m is not None and m.V == 5\n",
  });
}

// Whatever a member holds, its import is code that runs or unreadable
// code (None, nothing pending); a non-code object run as code would crash
// the process here.
TEST_F(ImportModuleTest, HostileMarshalDataIsUnreadableCode) {
  ASSERT_GT(hostileCount_, 300u);
  runCases({
      "for i in range(" + std::to_string(hostileCount_) + "):\n"
      "    name = 'hostile_%d' % i\n"
      "    t.createModule(name)\n"
      "    assert t.execModule(name, 'skiffrelay/' + name) is None, name\n"
      "    del sys.modules[name]\n",
  });
}

}  // namespace
