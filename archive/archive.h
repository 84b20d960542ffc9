// Reader of ".qar" archives.
//
// Concretely, an archive is (offsets relative to its base offset, integers
// unsigned little-endian, nothing aligned):
//   header, 16 bytes: 4 bytes magic, 4 bytes indexEnd, 4 bytes indexOffset,
//     4 bytes memberCount. Magic "qAR*" is kind 1 (stored), "qZaB" kind 2
//     (zlib), "qZ4\x02" kind 3 (no decoder).
//   member spans, from the header up to indexOffset, one after another in
//     index order: 4 bytes contentSize, then the stored bytes (kind 1: the
//     content; kind 2: one zlib stream of it). A span ends where the next
//     one starts; the last ends at indexOffset.
//   index block, indexOffset .. indexEnd: the entries, stored (kind 1) or
//     as one zlib stream (kind 2). An entry is 2 bytes entryLength
//     (6 + name length + 1), 4 bytes memberOffset, the name, a NUL.
// A member's storedSize is the length of its span, prefix included; the
// content of a stored member is the span minus its 4-byte prefix.
#ifndef SKIFF_ARCHIVE_ARCHIVE_H_
#define SKIFF_ARCHIVE_ARCHIVE_H_

#include <stdint.h>
#include <stdio.h>

#include "archive/hash_table.h"

extern const uint8_t kMagicStored[4];       // "qAR*"
extern const uint8_t kMagicZlib[4];         // "qZaB"
extern const uint8_t kMagicUnsupported[4];  // 'q' 'Z' '4' 0x02
const uint32_t kArchiveHeaderSize = 16;

// Plain records: callers read the fields directly and never write them.
struct ArchiveMember {
  char* name;            // own copy; the member table's key
  uint32_t storedSize;   // span length, set at open
  uint32_t contentSize;  // 0 until first read, then the decoded length
  uint32_t offset;       // span offset from the index entry
};

struct Archive {
  int kind;  // 1, 2 or 3
  uint8_t magic[4];
  uint32_t indexEnd;
  uint32_t indexOffset;
  uint32_t memberCount;
  uint32_t baseOffset;
  HashTable* members;  // name -> ArchiveMember*, owned with the records
  FILE* file;
  uint64_t fileSize;   // bytes in the file, for checking sizes read from it
};

// Opens and loads the index; null when the file cannot be opened, the
// header is short or unknown, the index cannot be read or decoded, sizes
// in it exceed the file, or it does not yield exactly memberCount names.
Archive* openArchive(const char* path, uint32_t baseOffset);
void closeArchive(Archive* archive);  // accepts null
ArchiveMember* findMember(Archive* archive, const char* name);  // or null
// Reads and decodes one member into a new buffer (*content, freed by the
// caller with free()); its length, or 0 with *content null on failure or
// empty content.
uint32_t readMember(Archive* archive, ArchiveMember* member,
                    uint8_t** content);
// readMember for callers that reuse one buffer across members: reads the
// member's whole span (length prefix and stored bytes) into `span`, which
// holds at least member->storedSize bytes, with one read, and decodes it
// with the same checks. The content's length, with *content pointing at
// it: inside `span` for a stored member, else a new buffer the caller
// frees with free(); 0 with *content null on failure or empty content.
uint32_t readMemberSpan(Archive* archive, ArchiveMember* member,
                        uint8_t* span, uint8_t** content);
// Receives a member's content piece by piece; 1 to go on, 0 to stop.
typedef int (*MemberSink)(void* context, const uint8_t* data, size_t length);
// For stored (kind 1) members too large to hold at once: reads the span
// with the checks of readMember, in pieces of at most `capacity` bytes
// through `buffer`, and hands the content to `sink` in order (the first
// call comes only after the first piece was read). The content's length,
// or 0 when the archive is not stored, `capacity` is below 5, the member
// is empty, a check or a read fails, or the sink stopped.
uint32_t copyStoredMember(Archive* archive, ArchiveMember* member,
                          uint8_t* buffer, size_t capacity, MemberSink sink,
                          void* context);
// Walk in table slot order; null at the end. No renaming during a walk.
ArchiveMember* firstMember(Archive* archive);
ArchiveMember* nextMember(Archive* archive);
// Replaces *slot by a new record named `newName` with the same offset and
// sizes; 1, or 0 when the slot holds no member, another member already
// has `newName` (its record would be orphaned), or memory fails.
int renameMember(Archive* archive, ArchiveMember** slot, const char* newName);
// 1 when the last bytes of `name` equal `suffix`.
int nameEndsWith(const char* name, const char* suffix);
// Reads exactly `length` bytes at `position` of an open file; 1 on
// success, 0 on a failed seek or a short read.
int readAt(FILE* file, uint64_t position, void* buffer, size_t length);

#endif  // SKIFF_ARCHIVE_ARCHIVE_H_
