// Runs the built qar tool end to end: what it writes must read back the
// same through every command, and every bad input must fail cleanly
// without leaving an archive behind.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive_writer.h"
#include "tests/test_util.h"

namespace {

RunResult qar(const std::vector<std::string>& args) {
  std::vector<std::string> argv{SKIFF_QAR_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv);
}

std::string bytesToString(const std::vector<uint8_t>& b) {
  return std::string(b.begin(), b.end());
}

// A failure is exactly one line shaped "qar: call(path): reason".
void expectOneLineError(const RunResult& r, const std::string& what) {
  EXPECT_EQ(r.err.rfind("qar: ", 0), 0u) << what << ": " << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
}

struct Inputs {
  std::vector<uint8_t> text, binary, small;
};

Inputs makeInputs(const ScopedTempDir& tmp) {
  Inputs in;
  std::string text;
  for (int i = 0; i < 2000; i++)
    text += "line " + std::to_string(i) + ": the quick brown fox\n";
  in.text.assign(text.begin(), text.end());
  for (int rep = 0; rep < 40; rep++)
    for (int b = 0; b < 256; b++) in.binary.push_back(uint8_t(b ^ rep));
  in.small = {'x'};
  EXPECT_TRUE(writeFileBytes(tmp.path("text.txt"), in.text));
  EXPECT_TRUE(writeFileBytes(tmp.path("all.bin"), in.binary));
  EXPECT_TRUE(writeFileBytes(tmp.path("one"), in.small));
  return in;
}

TEST(QarTest, RoundTripBothKinds) {
  for (bool stored : {true, false}) {
    SCOPED_TRACE(stored ? "stored" : "zlib");
    ScopedTempDir tmp;
    Inputs in = makeInputs(tmp);
    std::string archive = tmp.path("a.qar");
    std::vector<std::string> args{"create"};
    if (stored) args.push_back("--stored");
    args.insert(args.end(), {archive, "notes=" + tmp.path("text.txt"),
                             tmp.path("all.bin"), "z.x=" + tmp.path("one")});
    RunResult r = qar(args);
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<uint8_t> bytes;
    ASSERT_TRUE(readFileBytes(archive, &bytes));
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4),
              stored ? "qAR*" : "qZaB");

    // Listing follows the span order, which is the command-line order.
    r = qar({"list", archive});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos;
         at = nl + 1)
      lines.push_back(r.out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const char* names[] = {"notes", "all.bin", "z.x"};
    const std::vector<uint8_t>* contents[] = {&in.text, &in.binary, &in.small};
    for (int i = 0; i < 3; i++) {
      std::string prefix =
          std::string(names[i]) + "\t" + std::to_string(contents[i]->size()) + "\t";
      ASSERT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
      unsigned long storedSize = std::stoul(lines[i].substr(prefix.size()));
      if (stored) {
        EXPECT_EQ(storedSize, contents[i]->size() + 4) << lines[i];
      } else if (i == 0) {
        EXPECT_LT(storedSize, contents[i]->size() / 4) << "text not compressed";
      }
    }

    for (int i = 0; i < 3; i++) {
      r = qar({"cat", archive, names[i]});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, bytesToString(*contents[i])) << names[i];
    }

    r = qar({"verify", archive});
    EXPECT_EQ(r.status, 0) << r.err;

    std::string out = tmp.path("out");
    ASSERT_EQ(runProgram({"/bin/mkdir", out}).status, 0);
    r = qar({"extract", archive, out});
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 0; i < 3; i++) {
      std::vector<uint8_t> got;
      EXPECT_TRUE(readFileBytes(out + "/" + names[i], &got)) << names[i];
      EXPECT_EQ(got, *contents[i]) << names[i];
    }
  }
}

TEST(QarTest, CreateRefusesBadInputAndWritesNothing) {
  ScopedTempDir tmp;
  makeInputs(tmp);
  ASSERT_TRUE(writeFileBytes(tmp.path("empty"), {}));
  ASSERT_EQ(runProgram({"/bin/mkdir", tmp.path("sub")}).status, 0);
  ASSERT_TRUE(writeFileText(tmp.path("sub/one"), "other"));
  std::string one = tmp.path("one");
  struct Case {
    const char* what;
    std::vector<std::string> members;
  };
  const Case cases[] = {
      {"missing input", {one, tmp.path("nope")}},
      {"empty input", {one, tmp.path("empty")}},
      {"input is a directory", {"d=" + tmp.path("sub")}},
      {"duplicate NAME=", {"a=" + one, "a=" + tmp.path("all.bin")}},
      {"duplicate bare names", {one, tmp.path("sub/one")}},
      {"parent name", {"../x=" + one}},
      {"name with slash", {"a/b=" + one}},
      {"name with backslash", {"a\\b=" + one}},
      {"dot name", {".=" + one}},
      {"empty name", {"=" + one}},
      {"no file after =", {"a="}},
  };
  // A failed create must leave an existing archive as it was, and write
  // none where there was none.
  std::string existing = tmp.path("existing.qar");
  ASSERT_EQ(qar({"create", existing, one}).status, 0);
  std::vector<uint8_t> before;
  ASSERT_TRUE(readFileBytes(existing, &before));
  for (const Case& c : cases) {
    for (const std::string& target : {tmp.path("new.qar"), existing}) {
      std::vector<std::string> args{"create", target};
      args.insert(args.end(), c.members.begin(), c.members.end());
      RunResult r = qar(args);
      EXPECT_EQ(r.status, 1) << c.what;
      expectOneLineError(r, c.what);
    }
    EXPECT_FALSE(fileExists(tmp.path("new.qar"))) << c.what;
    std::vector<uint8_t> after;
    ASSERT_TRUE(readFileBytes(existing, &after));
    EXPECT_EQ(after, before) << c.what;
  }
}

TEST(QarTest, BadArgumentsPrintUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"create", "a.qar"}, {"create", "--stored"},
      {"list"}, {"list", "a", "b"}, {"cat", "a.qar"}, {"extract", "a.qar"},
      {"verify"},
  };
  for (const auto& args : cases) {
    RunResult r = qar(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: qar"), std::string::npos);
  }
}

TEST(QarTest, DamagedArchivesFailCleanly) {
  ScopedTempDir tmp;
  makeInputs(tmp);
  std::string good = tmp.path("good.qar");
  ASSERT_EQ(qar({"create", good, tmp.path("text.txt"), tmp.path("one")}).status, 0);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(readFileBytes(good, &bytes));

  // Archives that must not open: list and verify fail with one line.
  std::vector<uint8_t> badMagic = bytes, truncated(bytes.begin(), bytes.begin() + 10),
                       shortIndex(bytes.begin(), bytes.end() - 3),
                       moreMembers = bytes;
  badMagic[1] = 'X';
  moreMembers[12] = 3;  // header's member count
  struct Case {
    const char* name;
    const std::vector<uint8_t>* data;
  } cases[] = {{"bad magic", &badMagic},
               {"truncated header", &truncated},
               {"truncated index", &shortIndex},
               {"member count", &moreMembers},
               {"missing file", nullptr}};
  for (const Case& c : cases) {
    std::string path = tmp.path(std::string(c.name) + ".qar");
    if (c.data) {
      ASSERT_TRUE(writeFileBytes(path, *c.data));
    }
    for (const char* cmd : {"list", "verify"}) {
      RunResult r = qar({cmd, path});
      EXPECT_EQ(r.status, 1) << c.name << " " << cmd;
      expectOneLineError(r, c.name);
    }
  }

  // A member whose stream inflates past its recorded size opens but does
  // not decode: list shows "?" and still exits 0; the rest fail.
  std::vector<uint8_t> badMember = bytes;
  badMember[16] = 1;  // first member's content size prefix
  badMember[17] = badMember[18] = badMember[19] = 0;
  std::string damaged = tmp.path("damaged.qar");
  ASSERT_TRUE(writeFileBytes(damaged, badMember));
  RunResult r = qar({"list", damaged});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("text.txt\t?\t"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("one\t1\t"), std::string::npos) << r.out;
  EXPECT_EQ(qar({"verify", damaged}).status, 1);
  EXPECT_EQ(qar({"cat", damaged, "text.txt"}).status, 1);
  EXPECT_EQ(qar({"cat", damaged, "one"}).out, "x");
  ASSERT_EQ(runProgram({"/bin/mkdir", tmp.path("out")}).status, 0);
  EXPECT_EQ(qar({"extract", damaged, tmp.path("out")}).status, 1);
  EXPECT_TRUE(fileExists(tmp.path("out/one")));
  EXPECT_FALSE(fileExists(tmp.path("out/text.txt")));

  r = qar({"cat", good, "absent"});
  EXPECT_EQ(r.status, 1);
  expectOneLineError(r, "cat absent");
  EXPECT_EQ(r.out, "");
}

TEST(QarTest, ExtractNeedsDirectoryAndRefusesUnsafeNames) {
  ScopedTempDir tmp;
  makeInputs(tmp);
  std::string good = tmp.path("good.qar");
  ASSERT_EQ(qar({"create", good, tmp.path("one")}).status, 0);
  RunResult r = qar({"extract", good, tmp.path("missing")});
  EXPECT_EQ(r.status, 1);
  expectOneLineError(r, "missing dir");
  EXPECT_NE(r.err.find("directory"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(tmp.path("missing")));

  // Written with the library directly: qar itself never makes such names.
  std::string evil = tmp.path("evil.qar");
  std::string err;
  ASSERT_TRUE(writeArchiveFile(evil.c_str(), 2,
                               {{"ok", {'1'}}, {"../escaped", {'2'}}}, &err))
      << err;
  ASSERT_EQ(runProgram({"/bin/mkdir", tmp.path("out")}).status, 0);
  r = qar({"extract", evil, tmp.path("out")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fileExists(tmp.path("out/ok")));
  EXPECT_FALSE(fileExists(tmp.path("escaped")));
}

}  // namespace
