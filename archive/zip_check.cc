#include "archive/zip_check.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"

namespace {

const size_t kEndRecordSize = 22;
const size_t kMaxCommentSize = 0xFFFF;

uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct ScopedFile {
  FILE* file;
  ~ScopedFile() {
    if (file) fclose(file);
  }
};

}  // namespace

int isZipFile(const char* path) {
  ScopedFile f = {openFile(path, "rb")};
  if (!f.file || fseek(f.file, 0, SEEK_END) != 0) return 0;
  long fileSize = ftell(f.file);
  if (fileSize < static_cast<long>(kEndRecordSize)) return 0;

  // The record is in the last 22 bytes, or further up when a comment
  // follows it: search the tail backwards for its signature.
  size_t tailSize = static_cast<size_t>(fileSize);
  if (tailSize > kEndRecordSize + kMaxCommentSize) {
    tailSize = kEndRecordSize + kMaxCommentSize;
  }
  std::vector<uint8_t> tail(tailSize);
  long tailStart = fileSize - static_cast<long>(tailSize);
  if (!readAt(f.file, static_cast<uint64_t>(tailStart), tail.data(),
              tailSize)) {
    return 0;
  }
  for (size_t at = tailSize - kEndRecordSize + 1; at-- > 0;) {
    const uint8_t* record = tail.data() + at;
    if (memcmp(record, "PK\5\6", 4) != 0) continue;
    if (at + kEndRecordSize + le16(record + 20) != tailSize) continue;
    uint32_t entries = le16(record + 10);
    uint32_t directorySize = le32(record + 12);
    long recordOffset = tailStart + static_cast<long>(at);
    if (directorySize > static_cast<unsigned long>(recordOffset)) return 0;
    if (entries == 0) return directorySize == 0;
    // The directory ends where the record starts (whatever data precedes
    // the zip: readers take its offset relative to that).
    uint8_t signature[4];
    return readAt(f.file,
                  static_cast<uint64_t>(recordOffset) - directorySize,
                  signature, sizeof signature) &&
           memcmp(signature, "PK\1\2", 4) == 0;
  }
  return 0;
}
