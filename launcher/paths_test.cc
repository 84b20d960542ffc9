#include "launcher/paths.h"

#include <string.h>

#include <gtest/gtest.h>

TEST(PathParentTest, Table) {
  struct Case {
    const char* path;
    const char* parent;
    size_t length;
  };
  const Case cases[] = {
      {"/a/b.exe", "/a", 2},
      {"/a/b/", "/a", 2},          // a trailing separator is ignored
      {"/usr/lib/x.so", "/usr/lib", 8},
      {"a/b", "a", 1},
      {"/b.exe", "", 0},           // separator at position 0: no parent
      {"/", "", 0},
      {"b.exe", "", 0},
      {"", "", 0},
      {"a\\b", "", 0},             // a backslash is no separator here
  };
  for (const Case& c : cases) {
    char out[64];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(c.length, pathParent(c.path, out)) << c.path;
    EXPECT_STREQ(c.parent, out) << c.path;
  }
}

TEST(PathJoinTest, Table) {
  struct Case {
    const char* base;
    const char* part;
    const char* result;
  };
  const Case cases[] = {
      {"/w", "bin.qar", "/w/bin.qar"},
      {"/w", "/bin.qar", "/w/bin.qar"},   // one leading separator skipped
      {"/w", "./bin.qar", "/w/bin.qar"},
      {"/w/", "bin.qar", "/w/bin.qar"},   // separator not doubled
      {"/w", ".", "/w"},
      {"/w/", ".", "/w"},                 // nothing left: no trailing '/'
      {"/w", "", "/w"},
      {"/w", "../x", "/w/../x"},          // ".." is taken whole
      {"/w", ".x", "/w/x"},
      {"", "x", "/x"},
      {"/w", "//x", "/w//x"},             // only one separator skipped
  };
  for (const Case& c : cases) {
    char buf[64];
    strcpy(buf, c.base);
    EXPECT_EQ(strlen(c.result), pathJoin(buf, sizeof buf, c.part))
        << c.base << " + " << c.part;
    EXPECT_STREQ(c.result, buf) << c.base << " + " << c.part;
  }
}

TEST(PathJoinTest, RefusesWhatDoesNotFitAndLeavesBaseAlone) {
  // "/w" + "x" needs 5 bytes with the terminating NUL.
  char buf[8];
  strcpy(buf, "/w");
  EXPECT_EQ(4u, pathJoin(buf, 5, "x"));
  EXPECT_STREQ("/w/x", buf);

  strcpy(buf, "/w");
  EXPECT_EQ(0u, pathJoin(buf, 4, "x"));
  EXPECT_STREQ("/w", buf);

  strcpy(buf, "/w/");
  EXPECT_EQ(0u, pathJoin(buf, 5, "xy"));
  EXPECT_STREQ("/w/", buf);
}
