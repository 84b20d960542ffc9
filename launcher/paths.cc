#include "launcher/paths.h"

#include <string.h>

#include "platform/platform.h"

size_t pathParent(const char* path, char* out) {
  size_t len = strlen(path);
  if (len > 0 && path[len - 1] == kPathSeparator) --len;
  // Search backwards for the separator that ends the parent; one at
  // position 0 (or none) leaves no usable parent.
  size_t i = len;
  while (i > 0 && path[i - 1] != kPathSeparator) --i;
  if (i <= 1) {
    out[0] = '\0';
    return 0;
  }
  size_t parentLen = i - 1;
  memmove(out, path, parentLen);
  out[parentLen] = '\0';
  return parentLen;
}

size_t pathJoin(char* base, size_t capacity, const char* part) {
  size_t n = strlen(base);
  if (n > 0 && base[n - 1] == kPathSeparator) --n;
  // "./x" and "/x" join as "x"; "..x" is taken whole.
  if (part[0] == '.' && part[1] != '.') {
    ++part;
    if (part[0] == kPathSeparator) ++part;
  } else if (part[0] == kPathSeparator) {
    ++part;
  }
  size_t rest = strlen(part);
  if (rest == 0) {
    base[n] = '\0';
    return n;
  }
  if (n + 1 + rest + 1 > capacity) return 0;
  base[n] = kPathSeparator;
  memcpy(base + n + 1, part, rest + 1);
  return n + 1 + rest;
}
