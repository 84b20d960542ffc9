// What the shared binding tests cannot see: unbinding hands the library
// back to the Windows loader (FreeLibrary), so it is no longer mapped.
#include "host/runtime.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/test_util_win32.h"

namespace {

TEST(BindRuntimeWin32Test, UnbindReleasesTheLibrary) {
  std::string path = nativePath(SKIFF_FAKE_RUNTIME_PATH);
  ASSERT_FALSE(libraryIsLoaded(path));
  gRuntime = RuntimeApi();
  ASSERT_EQ(bindRuntime(path.c_str()), 1);
  EXPECT_TRUE(libraryIsLoaded(path));
  EXPECT_NE(gRuntime.Py_Initialize, nullptr);
  EXPECT_EQ(gRuntime.Py_SetProgramName, nullptr);
  unbindRuntime();
  EXPECT_EQ(gRuntime.library, nullptr);
  EXPECT_FALSE(libraryIsLoaded(path));
  gRuntime = RuntimeApi();
}

}  // namespace
