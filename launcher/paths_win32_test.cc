// Path operations with the Windows separator: the backslash is the only
// one, drive paths keep their drive, and '/' is an ordinary character.
#include "launcher/paths.h"

#include <string.h>

#include <gtest/gtest.h>

TEST(PathParentWin32Test, Table) {
  struct Case {
    const char* path;
    const char* parent;
    size_t length;
  };
  const Case cases[] = {
      {"D:\\a\\b.exe", "D:\\a", 4},
      {"D:\\a\\b\\", "D:\\a", 4},  // a trailing backslash is ignored
      {"D:\\b.exe", "D:", 2},
      {"\\b.exe", "", 0},  // backslash at position 0: no parent
      {"b.exe", "", 0},
      {"", "", 0},
      {"D:\\", "", 0},  // only the trailing backslash: none left
      {"C:\\PROGRA~1\\APP\\skiffrelay.exe", "C:\\PROGRA~1\\APP", 15},
      {"D:/a/b.exe", "", 0},  // a forward slash is no separator
      {"D:\\a/b\\c", "D:\\a/b", 6},
      {"\\\\server\\share\\x", "\\\\server\\share", 14},
  };
  for (const Case& c : cases) {
    char out[64];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(c.length, pathParent(c.path, out)) << c.path;
    EXPECT_STREQ(c.parent, out) << c.path;
  }
}

TEST(PathJoinWin32Test, Table) {
  struct Case {
    const char* base;
    const char* part;
    const char* result;
  };
  const Case cases[] = {
      {"D:\\w", "bin.qar", "D:\\w\\bin.qar"},
      {"D:\\w", "\\bin.qar", "D:\\w\\bin.qar"},
      {"D:\\w", ".\\bin.qar", "D:\\w\\bin.qar"},
      {"D:\\w\\", "bin.qar", "D:\\w\\bin.qar"},
      {"D:\\w", ".", "D:\\w"},
      {"D:\\w", "..\\x", "D:\\w\\..\\x"},
      {"D:\\w", ".x", "D:\\w\\x"},
      {"", "x", "\\x"},
      {"D:", "TAV*-SKIFFRELAY", "D:\\TAV*-SKIFFRELAY"},  // drive root
      {"D:\\w", "./x", "D:\\w\\/x"},  // "." skipped, '/' kept as text
      {"D:\\w", "\\\\x", "D:\\w\\\\x"},  // only one backslash skipped
  };
  for (const Case& c : cases) {
    char buf[64];
    strcpy(buf, c.base);
    EXPECT_EQ(strlen(c.result), pathJoin(buf, sizeof buf, c.part))
        << c.base << " + " << c.part;
    EXPECT_STREQ(c.result, buf) << c.base << " + " << c.part;
  }
}
