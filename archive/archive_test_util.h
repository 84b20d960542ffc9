// Archive builders shared by the archive store's tests.
#ifndef SKIFF_ARCHIVE_ARCHIVE_TEST_UTIL_H_
#define SKIFF_ARCHIVE_ARCHIVE_TEST_UTIL_H_

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "platform/platform.h"
#include "tests/test_util.h"

// The sizes the platform's allocate and reallocate are asked for while the
// object lives, in order: for the inflate buffer its first size, then its
// size after each enlargement.
struct AllocationSizes {
  AllocationSizes() { sizes.clear(); }
  static void* allocate(size_t size) {
    sizes.push_back(size);
    return malloc(size);
  }
  static void* reallocate(void* block, size_t size) {
    sizes.push_back(size);
    return realloc(block, size);
  }
  static inline std::vector<size_t> sizes;
  ScopedPlatformCall allocateCall{"allocate", allocate};
  ScopedPlatformCall reallocateCall{"reallocate", reallocate};
};

inline std::vector<uint8_t> toBytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

inline void appendU16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

inline void appendU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline uint32_t readU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

inline void patchU32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A well-formed archive made by the writer; empty on failure.
inline std::vector<uint8_t> makeArchive(int kind,
                                        const std::vector<WriterMember>& m) {
  std::vector<uint8_t> out;
  std::string err;
  if (!buildArchive(kind, m, &out, &err)) out.clear();
  return out;
}

// One index entry: length, offset, name, NUL.
inline void appendEntry(std::vector<uint8_t>* index, uint32_t offset,
                        const std::string& name) {
  appendU16(index, static_cast<uint32_t>(name.size() + 7));
  appendU32(index, offset);
  index->insert(index->end(), name.begin(), name.end());
  index->push_back(0);
}

// A hand-laid stored archive: header, `body` from offset 16, then the raw
// `index` bytes; indexOffset and indexEnd follow from the sizes.
inline std::vector<uint8_t> rawStoredArchive(uint32_t memberCount,
                                             const std::vector<uint8_t>& body,
                                             const std::vector<uint8_t>& index) {
  std::vector<uint8_t> out = {'q', 'A', 'R', '*'};
  uint32_t indexOffset = static_cast<uint32_t>(16 + body.size());
  appendU32(&out, indexOffset + static_cast<uint32_t>(index.size()));
  appendU32(&out, indexOffset);
  appendU32(&out, memberCount);
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), index.begin(), index.end());
  return out;
}

#endif  // SKIFF_ARCHIVE_ARCHIVE_TEST_UTIL_H_
