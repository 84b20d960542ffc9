#include "archive/extract.h"

#include <stdlib.h>
#include <string.h>

#include "archive/inflate.h"
#include "launcher/paths.h"
#include "platform/platform.h"

namespace {

// Members go only into new files: anything already at the target (a file
// of another member, a link planted by someone else) is neither replaced
// nor followed, and the member counts as not written.
const char kNewFileMode[] = "wbx";

// Notes in `*shortfall` that the call that just failed ran out of room.
void noteNoRoom(DirShortfall* shortfall) {
  if (lastFailureWasNoRoom()) *shortfall = kDirNoRoom;
}

// Opens a new file for a member's content, unbuffered: the content is in
// memory already, so it goes to the file in one write instead of being
// copied through the stream's buffer first.
FILE* openNewFile(const char* filePath, DirShortfall* shortfall) {
  FILE* file = openFile(filePath, kNewFileMode);
  if (!file) {
    noteNoRoom(shortfall);
    return nullptr;
  }
  (void)setvbuf(file, nullptr, _IONBF, 0);  // a refusal only costs a copy
  return file;
}

// Writes all of `data` to `file`; 1, or 0 with the cause noted.
int writeAll(FILE* file, const uint8_t* data, size_t length,
             DirShortfall* shortfall) {
  if (writeFile(data, length, file) == length) return 1;
  noteNoRoom(shortfall);
  return 0;
}

// Closes a file written by this extraction; 1 when it closed cleanly.
int closeNewFile(FILE* file, DirShortfall* shortfall) {
  if (fclose(file) == 0) return 1;
  noteNoRoom(shortfall);
  return 0;
}

// Writes `length` bytes to a new file; 1 only when every byte reached the
// file and it closed cleanly. A file that was created but not written in
// full stays behind.
int writeWholeFile(const char* filePath, const uint8_t* data, size_t length,
                   DirShortfall* shortfall) {
  FILE* file = openNewFile(filePath, shortfall);
  if (!file) return 0;
  int ok = writeAll(file, data, length, shortfall);
  if (!closeNewFile(file, shortfall)) ok = 0;
  return ok;
}

// Stored members larger than this are copied to their file in pieces of
// this size instead of as one span: a fresh buffer of several megabytes
// (the runtime library) costs more in page faults than the copy itself,
// while one of this size is reused for every piece.
const size_t kPieceSize = 1 << 20;

// The span buffer of one extraction, reused from member to member and
// grown to the largest span met (at most kPieceSize for stored members),
// so that each member costs one read and one write and no allocation of
// its own (a zlib member's inflated content excepted).
struct SpanBuffer {
  uint8_t* data = nullptr;
  size_t capacity = 0;
  ~SpanBuffer() { free(data); }
  int reserve(size_t size) {
    if (size <= capacity) return 1;
    free(data);
    data = static_cast<uint8_t*>(malloc(size));
    capacity = data ? size : 0;
    return data != nullptr;
  }
};

// The target file of a piecewise copy, created with the first piece, so
// that a member whose first piece cannot be read leaves no file.
struct FileSink {
  const char* path;
  FILE* file;
  int writeFailed;  // the copy stopped here, not at a read
  DirShortfall* shortfall;
};

int writePiece(void* context, const uint8_t* data, size_t length) {
  FileSink* sink = static_cast<FileSink*>(context);
  if (!sink->file) sink->file = openNewFile(sink->path, sink->shortfall);
  if (!sink->file || !writeAll(sink->file, data, length, sink->shortfall)) {
    sink->writeFailed = 1;
    return 0;
  }
  return 1;
}

int copyMemberToFile(Archive* archive, ArchiveMember* member,
                     const char* filePath, SpanBuffer* buffer,
                     DirShortfall* shortfall) {
  if (!buffer->reserve(kPieceSize)) return 0;
  FileSink sink = {filePath, nullptr, 0, shortfall};
  int ok = copyStoredMember(archive, member, buffer->data, kPieceSize,
                            writePiece, &sink) != 0;
  if (!sink.file) return 0;
  if (!closeNewFile(sink.file, shortfall)) ok = 0;
  // A later piece that could not be read: the member cannot be read, and
  // such a member leaves no file. One that could not be written in full
  // stays behind, as a short single write does.
  if (!ok && !sink.writeFailed) (void)removeFile(filePath);
  return ok;
}

int writeMemberWith(Archive* archive, ArchiveMember* member,
                    const char* filePath, SpanBuffer* buffer,
                    DirShortfall* shortfall) {
  if (archive->kind == kKindStored && member->storedSize > kPieceSize) {
    return copyMemberToFile(archive, member, filePath, buffer, shortfall);
  }
  // A span the file cannot hold is refused by the read below; nothing is
  // allocated for it first.
  if (member->storedSize > archive->fileSize) return 0;
  if (!buffer->reserve(member->storedSize)) return 0;
  uint8_t* content = nullptr;
  uint32_t length = readMemberSpan(archive, member, buffer->data, &content);
  if (length == 0) return 0;  // nothing read: no file is created
  int ok = writeWholeFile(filePath, content, length, shortfall);
  if (archive->kind != kKindStored) free(content);  // inflated on its own
  return ok;
}

}  // namespace

int isSafeMemberName(const char* name) {
  if (name[0] == '\0') return 0;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
  if (strchr(name, '/') || strchr(name, '\\')) return 0;
  return !isReservedFileName(name);  // a device would swallow the content
}

int writeMember(Archive* archive, ArchiveMember* member, const char* filePath) {
  SpanBuffer buffer;
  DirShortfall ignored = kDirFine;
  return writeMemberWith(archive, member, filePath, &buffer, &ignored);
}

uint32_t writeAllMembers(Archive* archive, const char* directory,
                         DirShortfall* shortfall) {
  DirShortfall ignored = kDirFine;
  if (!shortfall) shortfall = &ignored;
  PathInfo info;
  if (!statPath(directory, &info)) return 0;

  // The target prefix: the directory and exactly one separator.
  char target[kPathBufferSize];
  size_t prefixLength = strlen(directory);
  if (prefixLength + 1 >= sizeof target) {
    if (archive->memberCount) *shortfall = kDirPathTooLong;
    return 0;
  }
  memcpy(target, directory, prefixLength);
  if (prefixLength == 0 || target[prefixLength - 1] != kPathSeparator) {
    target[prefixLength++] = kPathSeparator;
  }
  target[prefixLength] = '\0';

  SpanBuffer buffer;
  uint32_t written = 0;
  for (ArchiveMember* member = firstMember(archive); member;
       member = nextMember(archive)) {
    const char* name = member->name;
    if (!isSafeMemberName(name)) continue;
    size_t nameLength = strlen(name);
    if (prefixLength + nameLength >= sizeof target) {  // never cut
      *shortfall = kDirPathTooLong;
      continue;
    }
    memcpy(target + prefixLength, name, nameLength + 1);
    if (writeMemberWith(archive, member, target, &buffer, shortfall)) {
      ++written;
    }
    target[prefixLength] = '\0';
  }
  return written;
}

// 1 when `directory` names an existing directory.
static int isDirectory(const char* directory) {
  PathInfo info;
  return directory[0] && statPath(directory, &info) && info.isDir;
}

int extractArchive(const char* path, uint32_t baseOffset, const char* directory,
                   DirShortfall* shortfall) {
  if (!isDirectory(directory)) return 0;
  Archive* archive = openArchive(path, baseOffset);
  if (!archive) return 0;
  uint32_t written = writeAllMembers(archive, directory, shortfall);
  int complete = written == archive->memberCount;
  closeArchive(archive);
  return complete;
}

int extractMember(Archive* archive, const char* name, const char* directory) {
  if (directory[0] == '\0') return 0;
  if (!isSafeMemberName(name)) return 0;
  char target[kPathBufferSize];
  size_t length = strlen(directory);
  if (length >= sizeof target) return 0;
  memcpy(target, directory, length + 1);
  if (pathJoin(target, sizeof target, name) == 0) return 0;
  ArchiveMember* member = findMember(archive, name);
  if (!member) return 0;
  return writeMember(archive, member, target);
}
