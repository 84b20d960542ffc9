#include "host/marshal_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// `depth` lists of one item each around None.
Bytes nested(int depth) {
  Bytes out;
  for (int i = 0; i < depth; ++i) out.insert(out.end(), {'[', 1, 0, 0, 0});
  out.push_back('N');
  return out;
}

// `depth` small tuples (one-byte count) of one item each around None.
Bytes nestedSmall(int depth) {
  Bytes out;
  for (int i = 0; i < depth; ++i) out.insert(out.end(), {')', 1});
  out.push_back('N');
  return out;
}

// The layout of a 3.11 code object: five 4-byte fields, eight objects,
// one 4-byte field, two objects (None stands in for each object here).
Bytes codeShape() {
  return cat({{0xe3}, Bytes(20, 0), Bytes(8, 'N'), Bytes(4, 0), Bytes(2, 'N')});
}

// 2.7's: four fields, eight objects, one field, one object, and no flag.
Bytes codeShape27() {
  return cat({{'c'}, Bytes(16, 0), Bytes(8, 'N'), Bytes(4, 0), {'N'}});
}

TEST(MarshalCheckTest, CountsMustFitTheBytesThatFollow) {
  const Bytes huge = {0xff, 0xff, 0xff, 0x7f};
  const Bytes minusHuge = {0x01, 0x00, 0x00, 0x80};
  const Bytes code = codeShape();
  struct Case {
    const char* what;
    Bytes data;
    int sound;
  };
  const Case cases[] = {
      {"None", {'N'}, 1},
      {"int, then bytes the reader ignores", {0xe9, 42, 0, 0, 0, 'x'}, 1},
      {"dict {'a': None}", {'{', 0xda, 1, 'a', 'N', '0'}, 1},
      {"code", code, 1},
      {"nested 100 deep", nested(100), 1},
      // (1j, None): a binary complex is two 8-byte doubles.
      {"complex in a tuple",
       cat({{')', 2, 'y'}, Bytes(14, 0), {0xf0, 0x3f, 'N'}}), 1},
      {"empty", {}, 0},
      {"unknown type", {'Q'}, 0},
      {"null outside a dict", {'0'}, 0},
      {"int cut short", {'i', 1, 2}, 0},
      {"dict without its end", {'{', 'N', 'N'}, 0},
      {"code without its last object", Bytes(code.begin(), code.end() - 1), 0},
      {"tuple of 2^31-1", cat({{'('}, huge, {'N'}}), 0},
      {"list of 2^31-1", cat({{0xdb}, huge, {'N'}}), 0},
      {"set of 2^31-1", cat({{'<'}, huge, {'N'}}), 0},
      {"negative tuple count", cat({{'('}, minusHuge}), 0},
      {"long of 2^31-1 digits", cat({{'l'}, huge, {0, 0}}), 0},
      {"long of -(2^31-1) digits", cat({{'l'}, minusHuge, {0, 0}}), 0},
      {"bytes longer than the data", cat({{'s'}, huge, {'x'}}), 0},
      {"negative text length", cat({{'a'}, minusHuge}), 0},
      {"short text past the end", {'z', 5, 'a'}, 0},
      {"nested 2001 deep", nested(2001), 0},
      {"small tuples nested 2001 deep", nestedSmall(2001), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.sound, marshalShapeIsSound(c.data.data(), c.data.size(), 3))
        << c.what;
  }
}

// 2.7's format differs in its type codes and its code layout; the counts
// are checked as in 3.x. Each case says whether it is sound in 2.7's
// format and in 3.x's.
TEST(MarshalCheckTest, TheTwoRuntimesFormatsAreTold) {
  const Bytes huge = {0xff, 0xff, 0xff, 0x7f};
  const Bytes code27 = codeShape27();
  struct Case {
    const char* what;
    Bytes data;
    int sound27;
    int sound3;
  };
  const Case cases[] = {
      {"2.7 code", code27, 1, 0},
      {"3.11 code", codeShape(), 0, 1},
      {"2.7 code without its last object",
       Bytes(code27.begin(), code27.end() - 1), 0, 0},
      // ('a', <the first interned text again>)
      {"interned text, then a reference to it",
       {'(', 2, 0, 0, 0, 't', 1, 0, 0, 0, 'a', 'R', 0, 0, 0, 0}, 1, 0},
      {"text reference cut short", {'R', 0, 0}, 0, 0},
      {"interned text longer than the data", cat({{'t'}, huge, {'x'}}), 0, 0},
      {"unicode text", {'u', 1, 0, 0, 0, 'x'}, 1, 1},
      // 3.x only: the reference flag, object references, short forms.
      {"int with the reference flag", {0xe9, 42, 0, 0, 0}, 0, 1},
      {"object reference", {'r', 0, 0, 0, 0}, 0, 1},
      {"short text", {'z', 1, 'a'}, 0, 1},
      {"ASCII text", {'a', 1, 0, 0, 0, 'x'}, 0, 1},
      {"small tuple", {')', 1, 'N'}, 0, 1},
      {"dict ended by a flagged null", {'{', 0x80 | '0'}, 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.sound27, marshalShapeIsSound(c.data.data(), c.data.size(), 2))
        << c.what;
    EXPECT_EQ(c.sound3, marshalShapeIsSound(c.data.data(), c.data.size(), 3))
        << c.what;
  }
}

}  // namespace
