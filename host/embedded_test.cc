#include "host/embedded.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/live_runtime_test.h"
#include "host/runtime.h"
#include "platform/platform.h"

namespace {

// "a/b" with this platform's separator.
std::string native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kPathSeparator;
  }
  return path;
}

TEST(ModuleFileNameTest, DotsBecomeSeparatorsAfterTheFixedPrefix) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"tav_import", "skiffrelay/tav_import"},
      {"__fork__", "skiffrelay/__fork__"},
      {"M2Crypto.SSL.Connection", "skiffrelay/M2Crypto/SSL/Connection"},
      {"a..b.", "skiffrelay/a//b/"},
  };
  for (const Case& c : cases) {
    char out[64];
    // "skiffrelay.exe\..." on Windows: the dot of the suffix stays.
    std::string expected = native(c.expected);
    expected.insert(strlen("skiffrelay"), kExecutableSuffix);
    EXPECT_EQ(expected.size(), moduleFileName(c.name, out, sizeof out));
    EXPECT_EQ(expected, out) << c.name;
  }
  // Too long for the buffer: refused, never cut.
  char small[12];
  EXPECT_EQ(0u, moduleFileName("tav_import", small, sizeof small));
  EXPECT_STREQ("", small);
}

class EmbeddedLoaderTest : public LiveRuntimeTest {
 protected:
  void TearDown() override {
    if (available_) gRuntime.PyErr_Clear();
  }
  ScopedTempDir temp_;
};

TEST_F(EmbeddedLoaderTest, RecordsRunByCompression) {
  std::vector<uint8_t> code = marshalSource(temp_, "V = 5\n");
  ASSERT_FALSE(code.empty());
  std::vector<uint8_t> packed(compressBound(code.size()));
  uLongf packedSize = packed.size();
  ASSERT_EQ(Z_OK, compress2(packed.data(), &packedSize, code.data(),
                            code.size(), 9));
  packed.resize(packedSize);
  std::vector<uint8_t> truncated(packed.begin(), packed.end() - 6);
  const std::vector<uint8_t> notMarshal = {0xff, 0xfe, 0x00};

  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
    int compression;
    bool loads;
    bool exceptionLeft;  // the runtime's own error stays for the caller
  };
  const Case cases[] = {
      {"emb.raw", &code, 0, true, false},
      {"emb.zlib", &packed, 1, true, false},
      {"emb.unknown", &packed, 2, false, false},
      {"emb.cut", &truncated, 1, false, false},
      {"emb.junk", &notMarshal, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PyObject* module = loadEmbeddedModule(
        c.name, c.data->data(), static_cast<uint32_t>(c.data->size()),
        c.compression);
    EXPECT_EQ(c.loads, module != nullptr);
    EXPECT_EQ(c.exceptionLeft, gRuntime.PyErr_Occurred() != nullptr);
    gRuntime.PyErr_Clear();
    gRuntime.Py_DecRef(module);
    if (!c.loads) continue;
    std::string file = native(std::string("skiffrelay") + kExecutableSuffix +
                              "/emb/" + (c.name + 4));
    EXPECT_TRUE(python("import sys\n"
                       "m = sys.modules['" + std::string(c.name) + "']\n"
                       "assert m.V == 5, m.V\n"
                       "assert m.__file__ == " + quoted(file) +
                       ", m.__file__\n"));
  }
}

// A stand-in tav_error that records what the exit-time handler does; its
// first reporting method fails, which must not stop the other two. Only
// built-in modules: the runtime loaded into the test process may have no
// standard library on its path (python27.dll away from its Lib/).
const char kFakeErrorModule[] = R"(
import sys
ModuleType = type(sys)
m = ModuleType('tav_error')
m.calls = []
class ErrorObject(object):
    def __init__(self, *args):
        m.calls.append(('init', len(args), args[0].__name__))
    def showExceptionInfo(self):
        m.calls.append('show')
        raise RuntimeError('report failed')
    def dumpExceptionInfo(self):
        m.calls.append('dump')
    def dumpMemory(self):
        m.calls.append('memory')
m.ErrorObject = ErrorObject
m.ERROR_HANDLER = None
sys.modules['tav_error'] = m

h = ModuleType('hooks')
def fail():
    raise ValueError('from a hook')
def record():
    m.calls.append('hook')
h.fail = fail
h.record = record
h.not_callable = 3
sys.modules['hooks'] = h
)";

TEST_F(EmbeddedLoaderTest, HooksAndExitTimeHandler) {
  ASSERT_TRUE(python(kFakeErrorModule));

  // Hooks: only a callable attribute is called; its exception stays.
  EXPECT_EQ(1, callModuleFunction("hooks", "record"));
  EXPECT_EQ(nullptr, gRuntime.PyErr_Occurred());
  EXPECT_EQ(0, callModuleFunction("hooks", "not_callable"));
  gRuntime.PyErr_Clear();
  EXPECT_EQ(0, callModuleFunction("no_such_module_here", "record"));
  gRuntime.PyErr_Clear();
  EXPECT_TRUE(python("import tav_error\n"
                     "assert tav_error.calls == ['hook'], tav_error.calls\n"
                     "del tav_error.calls[:]\n"));

  // An exception from running code comes with a traceback: three
  // arguments; the failing first method does not stop the others.
  EXPECT_EQ(1, callModuleFunction("hooks", "fail"));
  ASSERT_NE(nullptr, gRuntime.PyErr_Occurred());
  EXPECT_EQ(1, reportPendingException());
  EXPECT_EQ(nullptr, gRuntime.PyErr_Occurred());
  EXPECT_TRUE(python(
      "import tav_error\n"
      "assert tav_error.calls == [('init', 3, 'ValueError'), 'show', 'dump',"
      " 'memory'], tav_error.calls\n"
      "del tav_error.calls[:]\n"
      "tav_error.ERROR_HANDLER = lambda obj: tav_error.calls.append(obj)\n"));

  // One set without a traceback: two arguments; a callable ERROR_HANDLER
  // gets the report object.
  gRuntime.PyErr_SetString(*gRuntime.PyExc_ImportError, "set natively");
  EXPECT_EQ(1, reportPendingException());
  EXPECT_TRUE(python(
      "import tav_error\n"
      "c = tav_error.calls\n"
      "assert c[:4] == [('init', 2, 'ImportError'), 'show', 'dump',"
      " 'memory'], c\n"
      "assert len(c) == 5 and isinstance(c[4], tav_error.ErrorObject), c\n"));

  // Nothing pending, or no tav_error: nothing handled, nothing left.
  EXPECT_EQ(0, reportPendingException());
  ASSERT_TRUE(python("import sys\ndel sys.modules['tav_error']\n"));
  gRuntime.PyErr_SetString(*gRuntime.PyExc_ImportError, "dropped");
  EXPECT_EQ(0, reportPendingException());
  EXPECT_EQ(nullptr, gRuntime.PyErr_Occurred());
}

}  // namespace
