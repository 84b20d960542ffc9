#include "archive/record.h"

#include <string.h>

namespace {

// How the packed side of a format is laid out, from its prefix.
struct PackedSide {
  int bigEndian;
  uint32_t unit;      // 1: no gaps; 4: every element widened to 4
  const char* items;  // the format after a consumed prefix
};

// Fills `side` from the prefix of `format`; 0 for an empty format.
int readPrefix(const char* format, PackedSide* side) {
  side->bigEndian = 0;
  side->unit = 4;
  side->items = format;
  switch (format[0]) {
    case '\0':
      return 0;
    case '<':
    case '=':
      side->unit = 1;
      side->items = format + 1;
      break;
    case '>':
      side->bigEndian = 1;
      side->unit = 1;
      side->items = format + 1;
      break;
    case '@':
      side->items = format + 1;
      break;
    default:  // not a prefix: the character is the first item
      break;
  }
  return 1;
}

// Element size of a code: 1, 2, 4 or 8; 0 for the string codes `s` and
// `p`; -1 for an unrecognised code.
int elementSize(char code) {
  switch (code) {
    case 'x': case 'c': case 'b': case 'B':
      return 1;
    case 'h': case 'H':
      return 2;
    case 'i': case 'I': case 'l': case 'L': case 'f': case '?': case 'P':
      return 4;
    case 'q': case 'Q': case 'd':
      return 8;
    case 's': case 'p':
      return 0;
    default:
      return -1;
  }
}

uint32_t widen(uint32_t size, uint32_t unit) {
  return unit == 4 ? (size + 3u) & ~3u : size;
}

// Reads one item at *cursor: its repeat count (a missing or zero count
// means 1) and its code. Advances *cursor past the item.
void readItem(const char** cursor, uint32_t* count, char* code) {
  const char* p = *cursor;
  uint32_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  *count = n == 0 ? 1 : n;
  *code = *p;
  *cursor = *p ? p + 1 : p;
}

// Size of the items under alignment `unit`, up to the end or the first
// unrecognised code.
uint32_t itemsSize(const char* items, uint32_t unit) {
  uint32_t total = 0;
  const char* p = items;
  while (*p) {
    uint32_t count;
    char code;
    readItem(&p, &count, &code);
    int size = elementSize(code);
    if (size < 0) break;
    if (size == 0) {
      total += widen(count, unit);
    } else {
      total += widen(static_cast<uint32_t>(size), unit) * count;
    }
  }
  return total;
}

}  // namespace

uint32_t formatSize(const char* format) {
  PackedSide side;
  if (!readPrefix(format, &side)) return 0;
  return itemsSize(side.items, side.unit);
}

int unpackRecord(const char* format, const void* packed, void* record) {
  PackedSide side;
  if (!readPrefix(format, &side)) return 0;
  uint32_t packedSize = itemsSize(side.items, side.unit);
  uint32_t memorySize = itemsSize(side.items, 4);

  // The common layouts need no reordering: one copy.
  if (!side.bigEndian && (side.unit == 4 || packedSize == memorySize)) {
    memcpy(record, packed, memorySize);
    return 1;
  }

  memset(record, 0, memorySize);
  const uint8_t* in = static_cast<const uint8_t*>(packed);
  uint8_t* out = static_cast<uint8_t*>(record);
  const char* p = side.items;
  while (*p) {
    uint32_t count;
    char code;
    readItem(&p, &count, &code);
    int size = elementSize(code);
    if (size < 0) return 0;
    if (size == 0) {  // a string is copied whole and never reversed
      memcpy(out, in, count);
      in += count;
      out += widen(count, 4);
      continue;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (side.bigEndian) {
        for (int b = 0; b < size; ++b) out[b] = in[size - 1 - b];
      } else {
        memcpy(out, in, static_cast<size_t>(size));
      }
      in += size;
      out += widen(static_cast<uint32_t>(size), 4);
    }
  }
  return 1;
}
