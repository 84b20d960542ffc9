#include "host/runtime.h"

#include <stddef.h>
#include <string.h>

#include <gtest/gtest.h>

#include "host/live_runtime_test.h"
#include "host/prepare.h"
#include "platform/platform.h"

namespace {

struct RuntimeBindingTest : testing::Test {
  void SetUp() override { gRuntime = RuntimeApi(); }
  void TearDown() override {
    unbindRuntime();
    gRuntime = RuntimeApi();
  }
};

TEST_F(RuntimeBindingTest, PartialLibraryBindsPresentNamesOnly) {
  ASSERT_EQ(1, bindRuntime(SKIFF_FAKE_RUNTIME_PATH));
  ASSERT_NE(nullptr, gRuntime.library);

  // A function slot calls into the library; a data slot is the address of
  // the library's own variable, so writes through it reach its code.
  ASSERT_NE(nullptr, gRuntime.Py_IsInitialized);
  EXPECT_EQ(0, gRuntime.Py_IsInitialized());
  EXPECT_NE(nullptr, gRuntime.Py_Finalize);
  ASSERT_NE(nullptr, gRuntime.Py_NoSiteFlag);
  ASSERT_NE(nullptr, gRuntime.Py_FrozenFlag);
  *gRuntime.Py_NoSiteFlag = 42;
  *gRuntime.Py_FrozenFlag = 3;
  auto flags = reinterpret_cast<int (*)()>(
      findSymbol(gRuntime.library, "fakeRuntimeFlags"));
  ASSERT_NE(nullptr, flags);
  EXPECT_EQ(42003, flags());

  // Names the library lacks leave null slots, and binding still succeeds;
  // such a library is not usable as the runtime.
  EXPECT_EQ(nullptr, gRuntime.Py_SetProgramName);
  EXPECT_EQ(nullptr, gRuntime.Py_DontWriteBytecodeFlag);
  EXPECT_EQ(nullptr, gRuntime.PyUnicode_DecodeFSDefault);
  EXPECT_EQ(nullptr, gRuntime.Py_SetPath);
  EXPECT_EQ(0, gRuntime.majorVersion);  // neither text function
  EXPECT_EQ(0, runtimeHasRequiredSymbols());

  unbindRuntime();
  EXPECT_EQ(nullptr, gRuntime.library);
}

TEST_F(RuntimeBindingTest, MissingLibraryFailsAndTouchesNothing) {
  void (*sentinel)() = [] {};
  gRuntime.Py_Initialize = sentinel;
  EXPECT_EQ(0, bindRuntime("/nonexistent/dir/libpython-none.so"));
  EXPECT_EQ(nullptr, gRuntime.library);
  EXPECT_EQ(sentinel, gRuntime.Py_Initialize);
}

TEST_F(RuntimeBindingTest, UnbindWithoutBindIsHarmless) {
  unbindRuntime();
  unbindRuntime();
  EXPECT_EQ(nullptr, gRuntime.library);
}

// Against the real runtime, a misspelt name in the binding table would
// leave a slot null that the host calls.
TEST_F(RuntimeBindingTest, RealRuntimeHasEverySymbolTheHostCalls) {
  if (!bindRuntime(liveRuntimeLibrary())) {
    GTEST_SKIP() << liveRuntimeLibrary() << " is not installed";
  }
  EXPECT_EQ(1, runtimeHasRequiredSymbols());
  // Each version makes a module its own way.
  ASSERT_TRUE(gRuntime.majorVersion == 2 || gRuntime.majorVersion == 3);
  bool py27 = gRuntime.majorVersion == 2;
  EXPECT_EQ(py27, gRuntime.Py_InitModule4 != nullptr);
  EXPECT_EQ(py27, gRuntime.PyModule_AddFunctions == nullptr);
  EXPECT_EQ(py27, gRuntime.PyModule_SetDocString == nullptr);
  // Every other row resolves too, the ones never called included: the
  // record is the handle and the version, then one pointer per row. A 3.x
  // runtime lacks Py_InitModule4 and the seven PyString_* functions; 2.7
  // lacks the two module functions above, Py_DecodeLocale, PyMem_RawFree,
  // Py_SetPath and the seven PyUnicode_* functions.
  const size_t kFirstSlot = offsetof(RuntimeApi, Py_NoSiteFlag);
  const size_t kSlots = (sizeof(RuntimeApi) - kFirstSlot) / sizeof(void*);
  void* slots[kSlots];
  memcpy(slots, reinterpret_cast<const char*>(&gRuntime) + kFirstSlot,
         sizeof slots);
  int unbound = 0;
  for (size_t i = 0; i < kSlots; ++i) unbound += slots[i] == nullptr;
  EXPECT_EQ(py27 ? 12 : 8, unbound);
}

}  // namespace
