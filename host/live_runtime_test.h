// Test fixture: the real runtime library, bound by name and initialised
// once per test suite, for tests of the host code that talks to it.
// Suites skip when the library is not installed. SKIFF_LIVE_RUNTIME, when
// set, names the library file to load instead of the build's own runtime
// (a 2.7 runtime, say: the same tests then run against it).
#ifndef SKIFF_HOST_LIVE_RUNTIME_TEST_H_
#define SKIFF_HOST_LIVE_RUNTIME_TEST_H_

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/interpreter.h"
#include "host/prepare.h"
#include "host/runtime.h"
#include "tests/test_util.h"

// The runtime library the live tests load.
inline const char* liveRuntimeLibrary() {
  const char* chosen = getenv("SKIFF_LIVE_RUNTIME");
  return chosen && *chosen ? chosen : kRuntimeLibraryName;
}

class LiveRuntimeTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    available_ = bindRuntime(liveRuntimeLibrary()) &&
                 runtimeHasRequiredSymbols() && !gRuntime.Py_IsInitialized();
    if (!available_) return;
    // The test process's own environment must not steer the interpreter.
    *gRuntime.Py_IgnoreEnvironmentFlag = 1;
    *gRuntime.Py_NoSiteFlag = 1;
    *gRuntime.Py_DontWriteBytecodeFlag = 1;
    gRuntime.Py_Initialize();
  }
  static void TearDownTestSuite() {
    if (available_) gRuntime.Py_Finalize();
    unbindRuntime();
    gRuntime = RuntimeApi();
    available_ = false;
  }
  void SetUp() override {
    if (!available_) GTEST_SKIP() << liveRuntimeLibrary() << " not usable";
  }

  // Runs statements in __main__; true when they raised nothing (a failure
  // prints its traceback on standard error).
  static bool python(const std::string& code) {
    return gRuntime.PyRun_SimpleString(code.c_str()) == 0;
  }

  // The marshalled code object of `source`, compiled by the runtime under
  // test (the marshal format is its own); empty on failure.
  static std::vector<uint8_t> marshalSource(const ScopedTempDir& temp,
                                            const std::string& source) {
    std::string in = temp.path("source.py");
    std::string out = temp.path("code.bin");
    std::vector<uint8_t> code;
    if (!writeFileText(in, source)) return code;
    if (!python("import marshal\n"
                "with open(" + quoted(in) + ") as f: _src = f.read()\n"
                "with open(" + quoted(out) + ", 'wb') as f:\n"
                "    f.write(marshal.dumps(compile(_src, 'x', 'exec')))\n")) {
      return code;
    }
    readFileBytes(out, &code);
    return code;
  }

  // A Python string literal of `text` (test paths hold no quotes).
  static std::string quoted(const std::string& text) {
    return "r'" + text + "'";
  }

  static inline bool available_ = false;
};

#endif  // SKIFF_HOST_LIVE_RUNTIME_TEST_H_
