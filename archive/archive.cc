#include "archive/archive.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "archive/inflate.h"
#include "archive/record.h"
#include "platform/platform.h"

const uint8_t kMagicStored[4] = {'q', 'A', 'R', '*'};
const uint8_t kMagicZlib[4] = {'q', 'Z', 'a', 'B'};
const uint8_t kMagicUnsupported[4] = {'q', 'Z', '4', 0x02};

namespace {

const char kHeaderFormat[] = "<4sIII";
const char kEntryHeadFormat[] = "<HI";
const char kLengthPrefixFormat[] = "<I";
const uint32_t kEntryHeadSize = 6;
const uint32_t kMinEntryLength = 7;  // head + an empty name's NUL
const uint32_t kLengthPrefixSize = 4;
// Deflate codes at most 258 bytes in two bits, so a zlib stream cannot
// inflate to more than about 1032 times its length; a claimed content size
// beyond that is corrupt and is never allocated.
const uint64_t kMaxInflateRatio = 1032;
const uint64_t kInflateSlack = 1024;
// An index of memberCount entries, each at most 65535 bytes long, never
// decodes to more than this; a zlib index that claims to is refused before
// it can grow a huge buffer. No real index comes near the overall ceiling.
const uint64_t kMaxEntryLength = 0xFFFF;
const uint64_t kMaxIndexSize = 64u << 20;

// The unpacked forms of the fixed layouts (memory side of their formats).
struct HeaderRecord {
  uint8_t magic[4];
  uint32_t indexEnd;
  uint32_t indexOffset;
  uint32_t memberCount;
};
struct EntryHeadRecord {
  uint16_t entryLength;
  uint16_t zero;
  uint32_t memberOffset;
};
static_assert(sizeof(HeaderRecord) == 16, "memory side of <4sIII");
static_assert(sizeof(EntryHeadRecord) == 8, "memory side of <HI");

// A member record and its name in one block; the name is the table key.
ArchiveMember* newMember(const char* name, uint32_t offset) {
  size_t length = strlen(name);
  ArchiveMember* member =
      static_cast<ArchiveMember*>(malloc(sizeof(ArchiveMember) + length + 1));
  if (!member) return nullptr;
  member->name = reinterpret_cast<char*>(member + 1);
  memcpy(member->name, name, length + 1);
  member->storedSize = 0;
  member->contentSize = 0;
  member->offset = offset;
  return member;
}

// Enters the entries of a decoded index into the member table. Returns 0
// only when memory fails; a malformed entry just ends the walk.
int loadIndex(Archive* archive, const uint8_t* index, size_t length) {
  ArchiveMember* previous = nullptr;
  size_t position = 0;
  while (position < length) {
    if (length - position < kMinEntryLength) break;
    EntryHeadRecord head;
    unpackRecord(kEntryHeadFormat, index + position, &head);
    uint32_t entryLength = head.entryLength;
    if (entryLength < kMinEntryLength) break;
    if (entryLength > length - position) break;
    if (index[position + entryLength - 1] != '\0') break;

    if (previous) previous->storedSize = head.memberOffset - previous->offset;
    const char* name =
        reinterpret_cast<const char*>(index + position + kEntryHeadSize);
    ArchiveMember* member = newMember(name, head.memberOffset);
    if (!member) return 0;
    void* replaced = nullptr;
    (void)tableGet(archive->members, member->name, &replaced);
    if (!tablePut(archive->members, member->name, member)) {
      free(member);
      return 0;
    }
    // A name listed twice keeps its later record; the earlier one goes.
    free(replaced);
    previous = member;
    position += entryLength;
  }
  if (previous) previous->storedSize = archive->indexOffset - previous->offset;
  return 1;
}

// Reads, decodes and enters the index block.
int readIndex(Archive* archive) {
  if (archive->indexEnd < archive->indexOffset) return 0;
  uint64_t start = static_cast<uint64_t>(archive->baseOffset) +
                   archive->indexOffset;
  uint64_t length = archive->indexEnd - archive->indexOffset;
  if (start + length > archive->fileSize) return 0;
  uint8_t* block = static_cast<uint8_t*>(malloc(length ? length : 1));
  if (!block) return 0;
  if (!readAt(archive->file, start, block, length)) {
    free(block);
    return 0;
  }
  uint8_t* decoded = nullptr;
  uint64_t limit = archive->memberCount * kMaxEntryLength;
  if (limit > kMaxIndexSize) limit = kMaxIndexSize;
  size_t decodedLength = decodeByKind(archive->kind, block, length, &decoded,
                                      0, static_cast<size_t>(limit));
  int ok = decodedLength > 0 && loadIndex(archive, decoded, decodedLength);
  if (decoded && decoded != block) free(decoded);
  free(block);
  return ok;
}

}  // namespace

Archive* openArchive(const char* path, uint32_t baseOffset) {
  FILE* file = openFile(path, "rb");
  if (!file) return nullptr;
  // Every read here asks for exactly the bytes it needs (header, index,
  // one member's span), so a stream buffer would only add a copy and
  // split large reads; unbuffered, each is one read(2).
  (void)setvbuf(file, nullptr, _IONBF, 0);  // a refusal only costs copies
  Archive* archive = static_cast<Archive*>(calloc(1, sizeof(Archive)));
  if (!archive) {
    fclose(file);
    return nullptr;
  }
  archive->file = file;
  archive->baseOffset = baseOffset;
  archive->members = createTable(kStringTableTag);
  if (!archive->members) {
    closeArchive(archive);
    return nullptr;
  }

  long end = -1;
  if (fseek(file, 0, SEEK_END) == 0) end = ftell(file);
  if (end < 0) {
    closeArchive(archive);
    return nullptr;
  }
  archive->fileSize = static_cast<uint64_t>(end);

  uint8_t raw[kArchiveHeaderSize];
  HeaderRecord header;
  if (!readAt(file, baseOffset, raw, sizeof raw)) {
    closeArchive(archive);
    return nullptr;
  }
  unpackRecord(kHeaderFormat, raw, &header);
  memcpy(archive->magic, header.magic, 4);
  archive->indexEnd = header.indexEnd;
  archive->indexOffset = header.indexOffset;
  archive->memberCount = header.memberCount;
  if (memcmp(header.magic, kMagicStored, 4) == 0) {
    archive->kind = kKindStored;
  } else if (memcmp(header.magic, kMagicZlib, 4) == 0) {
    archive->kind = kKindZlib;
  } else if (memcmp(header.magic, kMagicUnsupported, 4) == 0) {
    archive->kind = kKindUnsupported;
  } else {
    closeArchive(archive);
    return nullptr;
  }
  if (archive->memberCount == 0) return archive;

  if (!readIndex(archive) ||
      tableCount(archive->members) != archive->memberCount) {
    closeArchive(archive);
    return nullptr;
  }
  return archive;
}

void closeArchive(Archive* archive) {
  if (!archive) return;
  if (archive->file) fclose(archive->file);
  if (archive->members) {
    HashEntry entry;
    for (int more = tableFirst(archive->members, &entry); more;
         more = tableNext(archive->members, &entry)) {
      free(entry.value);
    }
    destroyTable(archive->members);
  }
  free(archive);
}

ArchiveMember* findMember(Archive* archive, const char* name) {
  void* value = nullptr;
  (void)tableGet(archive->members, name, &value);
  return static_cast<ArchiveMember*>(value);
}

namespace {

// Where a member's span starts in the file; 0 when the span (the 4-byte
// length prefix, then the stored bytes) does not lie inside the file, so
// nothing is allocated or read for it.
int spanStart(const Archive* archive, const ArchiveMember* member,
              uint64_t* start) {
  if (member->storedSize < kLengthPrefixSize) return 0;
  *start = static_cast<uint64_t>(archive->baseOffset) + member->offset;
  return *start + member->storedSize <= archive->fileSize;
}

// Takes the content size from the length prefix into the member record;
// 0 when a zlib member claims more than its stream can inflate to.
int takeContentSize(const Archive* archive, ArchiveMember* member,
                    const uint8_t* prefix, size_t storedLength) {
  uint32_t contentSize;
  unpackRecord(kLengthPrefixFormat, prefix, &contentSize);
  member->contentSize = contentSize;
  return archive->kind != kKindZlib ||
         contentSize <= storedLength * kMaxInflateRatio + kInflateSlack;
}

// Decodes a member's stored bytes (its length prefix already taken into
// member->contentSize) and records the content's length. The length with
// *content set: `stored` itself for a stored member, else a new buffer;
// 0 with *content left null on failure or empty content, and nothing new
// left allocated.
uint32_t decodeStored(const Archive* archive, ArchiveMember* member,
                      uint8_t* stored, size_t storedLength,
                      uint8_t** content) {
  uint8_t* decoded = nullptr;
  size_t length = decodeByKind(archive->kind, stored, storedLength, &decoded,
                               member->contentSize);
  if (length == 0 || length > UINT32_MAX) {
    if (decoded != stored) free(decoded);
    return 0;
  }
  member->contentSize = static_cast<uint32_t>(length);
  *content = decoded;
  return static_cast<uint32_t>(length);
}

}  // namespace

int readAt(FILE* file, uint64_t position, void* buffer, size_t length) {
  if (position > static_cast<uint64_t>(LONG_MAX)) return 0;
  if (fseek(file, static_cast<long>(position), SEEK_SET) != 0) return 0;
  return fread(buffer, 1, length, file) == length;
}

uint32_t readMember(Archive* archive, ArchiveMember* member,
                    uint8_t** content) {
  *content = nullptr;
  uint64_t start = 0;
  if (!spanStart(archive, member, &start)) return 0;
  size_t storedLength = member->storedSize - kLengthPrefixSize;

  uint8_t prefix[kLengthPrefixSize];
  if (!readAt(archive->file, start, prefix, sizeof prefix)) return 0;
  if (!takeContentSize(archive, member, prefix, storedLength)) return 0;

  uint8_t* stored = static_cast<uint8_t*>(malloc(storedLength ? storedLength : 1));
  if (!stored) return 0;
  if (fread(stored, 1, storedLength, archive->file) != storedLength) {
    free(stored);
    return 0;
  }
  uint32_t length = decodeStored(archive, member, stored, storedLength, content);
  // Kept only when it is the content itself (a stored member).
  if (*content != stored) free(stored);
  return length;
}

uint32_t readMemberSpan(Archive* archive, ArchiveMember* member,
                        uint8_t* span, uint8_t** content) {
  *content = nullptr;
  uint64_t start = 0;
  if (!spanStart(archive, member, &start)) return 0;
  size_t storedLength = member->storedSize - kLengthPrefixSize;
  if (!readAt(archive->file, start, span, member->storedSize)) return 0;
  if (!takeContentSize(archive, member, span, storedLength)) return 0;
  return decodeStored(archive, member, span + kLengthPrefixSize, storedLength,
                      content);
}

uint32_t copyStoredMember(Archive* archive, ArchiveMember* member,
                          uint8_t* buffer, size_t capacity, MemberSink sink,
                          void* context) {
  if (archive->kind != kKindStored || capacity <= kLengthPrefixSize) return 0;
  uint64_t start = 0;
  if (!spanStart(archive, member, &start)) return 0;
  size_t storedLength = member->storedSize - kLengthPrefixSize;
  size_t piece = member->storedSize < capacity ? member->storedSize : capacity;
  if (!readAt(archive->file, start, buffer, piece)) return 0;
  (void)takeContentSize(archive, member, buffer, storedLength);  // stored: 1
  if (storedLength == 0) return 0;  // empty content, as readMember
  // Content follows the prefix in the first piece (it holds more than
  // the prefix: capacity and span both exceed 4 bytes).
  if (!sink(context, buffer + kLengthPrefixSize, piece - kLengthPrefixSize)) {
    return 0;
  }
  // The rest follows the first piece directly: no seek in between.
  for (size_t left = member->storedSize - piece; left > 0; left -= piece) {
    piece = left < capacity ? left : capacity;
    if (fread(buffer, 1, piece, archive->file) != piece) return 0;
    if (!sink(context, buffer, piece)) return 0;
  }
  member->contentSize = static_cast<uint32_t>(storedLength);
  return static_cast<uint32_t>(storedLength);
}

ArchiveMember* firstMember(Archive* archive) {
  HashEntry entry;
  if (!tableFirst(archive->members, &entry)) return nullptr;
  return static_cast<ArchiveMember*>(entry.value);
}

ArchiveMember* nextMember(Archive* archive) {
  HashEntry entry;
  if (!tableNext(archive->members, &entry)) return nullptr;
  return static_cast<ArchiveMember*>(entry.value);
}

int renameMember(Archive* archive, ArchiveMember** slot, const char* newName) {
  if (!slot || !*slot) return 0;
  ArchiveMember* old = *slot;
  // Taking another member's name would orphan that member's record.
  ArchiveMember* holder = findMember(archive, newName);
  if (holder && holder != old) return 0;
  ArchiveMember* renamed = newMember(newName, old->offset);
  if (!renamed) return 0;
  renamed->storedSize = old->storedSize;
  renamed->contentSize = old->contentSize;
  (void)tableRemove(archive->members, old->name);  // 0 only if shrinking failed
  if (!tablePut(archive->members, renamed->name, renamed)) {
    // Put the old record back; the table has room for it again.
    (void)tablePut(archive->members, old->name, old);
    free(renamed);
    return 0;
  }
  free(old);
  *slot = renamed;
  return 1;
}

int nameEndsWith(const char* name, const char* suffix) {
  size_t n = strlen(name);
  size_t s = strlen(suffix);
  if (s > n) return 0;
  return memcmp(name + n - s, suffix, s) == 0;
}
