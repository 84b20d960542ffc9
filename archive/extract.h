// Writing archive members as files into a directory the caller names.
// Member names become file names unchanged; a name that is empty, "." or
// "..", or holds a path separator ('/' or '\\'), is refused and counts as
// not written. Each member goes into a new file: one whose target already
// exists (a file, a directory, a link) counts as not written, and the
// existing entry is left as it was. No directory is created here.
#ifndef SKIFF_ARCHIVE_EXTRACT_H_
#define SKIFF_ARCHIVE_EXTRACT_H_

#include <stdint.h>

#include "archive/archive.h"

// Why members were not written when the directory, not the archive, is
// to blame: a caller can then try another directory.
enum DirShortfall {
  kDirFine = 0,
  kDirNoRoom,       // disk or quota full, or past the file-size limit
  kDirPathTooLong,  // a target path did not fit the path buffer
};

// 1 when every member of the archive in `path` was written into
// `directory`; 0 when the directory is empty text or not an existing
// directory (nothing is opened then), the archive does not open or any
// member failed. `*shortfall` (when given) is set when a member failed
// for the directory's sake, and left alone otherwise.
int extractArchive(const char* path, uint32_t baseOffset, const char* directory,
                   DirShortfall* shortfall = nullptr);
// Writes every member into `directory` (which must exist); the number
// written. `*shortfall` as for extractArchive.
uint32_t writeAllMembers(Archive* archive, const char* directory,
                         DirShortfall* shortfall = nullptr);
// 1 when the member `name` was written into `directory` (joined as
// pathJoin joins); 0 when the directory is empty text, the name is unsafe
// or absent, or the write failed.
int extractMember(Archive* archive, const char* name, const char* directory);
// 1 when the member's whole content was written to `filePath`; no file is
// left when the member cannot be read (a large stored member is copied in
// pieces: a piece that cannot be read removes the file begun).
int writeMember(Archive* archive, ArchiveMember* member, const char* filePath);
// 1 when `name` may be used as a file name inside a directory.
int isSafeMemberName(const char* name);

#endif  // SKIFF_ARCHIVE_EXTRACT_H_
