// The one writer of ".qar" archives (used by the qar tool and by tests):
// header, member spans in the given order, then the index block.
#ifndef SKIFF_ARCHIVE_ARCHIVE_WRITER_H_
#define SKIFF_ARCHIVE_ARCHIVE_WRITER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct WriterMember {
  std::string name;
  std::vector<uint8_t> content;
};

// Lays the archive out in memory: kind 1 stores the content, kind 2 makes
// one zlib stream (best compression) per member and for the index. 1 on
// success; 0 with *err set (names empty, with a NUL, longer than 65528
// bytes, duplicated; empty content, which no reader can tell from a
// failure; sizes beyond 32 bits).
int buildArchive(int kind, const std::vector<WriterMember>& members,
                 std::vector<uint8_t>* out, std::string* err);

// buildArchive, then writes the bytes to `path` (replacing it whole via a
// temporary file in the same directory). 1 on success, 0 with *err set.
int writeArchiveFile(const char* path, int kind,
                     const std::vector<WriterMember>& members,
                     std::string* err);

#endif  // SKIFF_ARCHIVE_ARCHIVE_WRITER_H_
