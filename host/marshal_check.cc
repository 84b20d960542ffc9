#include "host/marshal_check.h"

namespace {

// The runtime refuses deeper nesting itself; the walk stops there too, so
// that its own recursion stays small.
const int kMaxDepth = 2000;
// Set on a type code when the object may be referred to later; it does
// not change the layout.
const uint8_t kFlagRef = 0x80;

struct Reader {
  const uint8_t* data;
  size_t length;
  size_t pos;
  int legacy;  // 2.7's format

  size_t left() const { return length - pos; }
  int skip(size_t n) {
    if (n > left()) return 0;
    pos += n;
    return 1;
  }
  int byte(uint8_t* out) {
    if (left() < 1) return 0;
    *out = data[pos++];
    return 1;
  }
  // A 4-byte little-endian signed count.
  int count(int32_t* out) {
    if (left() < 4) return 0;
    uint32_t v = static_cast<uint32_t>(data[pos]) |
                 static_cast<uint32_t>(data[pos + 1]) << 8 |
                 static_cast<uint32_t>(data[pos + 2]) << 16 |
                 static_cast<uint32_t>(data[pos + 3]) << 24;
    pos += 4;
    *out = static_cast<int32_t>(v);
    return 1;
  }
  // A byte-counted piece of text (1-byte length), as in the short forms.
  int shortText() {
    uint8_t n;
    return byte(&n) && skip(n);
  }
};

int object(Reader* r, int depth);

// `n` objects; each takes at least one byte, so a count beyond the bytes
// left is a lie told before anything is allocated.
int objects(Reader* r, int64_t n, int depth) {
  if (n < 0 || static_cast<uint64_t>(n) > r->left()) return 0;
  for (int64_t i = 0; i < n; ++i) {
    if (!object(r, depth)) return 0;
  }
  return 1;
}

// The fixed fields and objects of a code object, in order: `fields`
// 4-byte fields, `objects` objects, one field (the first line number),
// `tail` objects.
struct CodeLayout {
  int fields;
  int objects;
  int tail;
};
const CodeLayout kCode3 = {5, 8, 2};  // ... linetable, exception table
const CodeLayout kCode2 = {4, 8, 1};  // ... lnotab

int object(Reader* r, int depth) {
  if (depth > kMaxDepth) return 0;
  uint8_t type;
  if (!r->byte(&type)) return 0;
  // 2.7 has no flag bit: such a byte is an unknown type code there.
  if (!r->legacy) type &= ~kFlagRef;
  int32_t n = 0;
  switch (type) {
    case 'N':
    case 'F':
    case 'T':
    case 'S':
    case '.':
      return 1;  // None, False, True, StopIteration, Ellipsis
    case 'i':  // int32
      return r->skip(4);
    case 'r':  // 3.x: a reference to an earlier object (the runtime checks it)
      return !r->legacy && r->skip(4);
    case 'R':  // 2.7: a reference to an earlier interned text (checked too)
      return r->legacy && r->skip(4);
    case 'I':
    case 'g':  // int64, binary float
      return r->skip(8);
    case 'y':  // binary complex
      return r->skip(16);
    case 'f':  // float as text
      return r->shortText();
    case 'x':  // complex as two texts
      return r->shortText() && r->shortText();
    case 'l': {  // long: a signed digit count, two bytes per digit
      if (!r->count(&n)) return 0;
      uint64_t digits = n < 0 ? -static_cast<int64_t>(n) : n;
      return digits <= r->left() / 2 && r->skip(digits * 2);
    }
    case 'a':
    case 'A':  // 3.x: ASCII texts
      if (r->legacy) return 0;
      [[fallthrough]];
    case 's':
    case 't':
    case 'u':  // bytes, interned and unicode texts
      return r->count(&n) && n >= 0 && r->skip(static_cast<size_t>(n));
    case 'z':
    case 'Z':  // 3.x: short ASCII texts
      return !r->legacy && r->shortText();
    case ')': {  // 3.x: small tuple, a 1-byte count
      uint8_t small;
      return !r->legacy && r->byte(&small) && objects(r, small, depth + 1);
    }
    case '(':
    case '[':
    case '<':
    case '>':  // tuple, list, set, frozenset
      return r->count(&n) && objects(r, n, depth + 1);
    case '{':  // dict: key and value pairs up to a null key
      for (;;) {
        if (r->left() > 0) {
          uint8_t next = r->data[r->pos];
          if (!r->legacy) next &= ~kFlagRef;
          if (next == '0') return r->skip(1);
        }
        if (!object(r, depth + 1) || !object(r, depth + 1)) return 0;
      }
    case 'c': {  // code
      const CodeLayout& code = r->legacy ? kCode2 : kCode3;
      return r->skip(static_cast<size_t>(code.fields) * 4) &&
             objects(r, code.objects, depth + 1) && r->skip(4) &&
             objects(r, code.tail, depth + 1);
    }
    default:  // unknown, or a null where an object must be
      return 0;
  }
}

}  // namespace

int marshalShapeIsSound(const uint8_t* data, size_t length, int majorVersion) {
  if (!data || (majorVersion != 2 && majorVersion != 3)) return 0;
  Reader r = {data, length, 0, majorVersion == 2};
  return object(&r, 0);
}
