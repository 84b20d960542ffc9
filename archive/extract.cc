#include "archive/extract.h"

#include <stdlib.h>
#include <string.h>

#include "launcher/paths.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

namespace {

// Writes `length` bytes to a new (or truncated) file; 1 only when every
// byte reached the file and it closed cleanly. A file that was created
// but not written in full stays behind.
int writeWholeFile(const char* filePath, const uint8_t* data, size_t length) {
  FILE* file = openFile(filePath, "wb");
  if (!file) return 0;
  int ok = writeFile(data, length, file) == length;
  if (fclose(file) != 0) ok = 0;
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
  uint8_t* content = nullptr;
  uint32_t length = readMember(archive, member, &content);
  if (length == 0) return 0;  // nothing read: no file is created
  int ok = writeWholeFile(filePath, content, length);
  free(content);
  return ok;
}

uint32_t writeAllMembers(Archive* archive, const char* directory) {
  PathInfo info;
  if (!statPath(directory, &info)) return 0;

  // The target prefix: the directory and exactly one separator.
  char target[kPathBufferSize];
  size_t prefixLength = strlen(directory);
  if (prefixLength + 1 >= sizeof target) return 0;
  memcpy(target, directory, prefixLength);
  if (prefixLength == 0 || target[prefixLength - 1] != kPathSeparator) {
    target[prefixLength++] = kPathSeparator;
  }
  target[prefixLength] = '\0';

  uint32_t written = 0;
  for (ArchiveMember* member = firstMember(archive); member;
       member = nextMember(archive)) {
    const char* name = memberName(member);
    if (!isSafeMemberName(name)) continue;
    size_t nameLength = strlen(name);
    if (prefixLength + nameLength >= sizeof target) continue;  // never cut
    memcpy(target + prefixLength, name, nameLength + 1);
    if (writeMember(archive, member, target)) ++written;
    target[prefixLength] = '\0';
  }
  return written;
}

int extractArchive(const char* path, uint32_t baseOffset) {
  const char* workDir = workDirPath();
  if (workDir[0] == '\0') return 0;
  Archive* archive = openArchive(path, baseOffset);
  if (!archive) return 0;
  uint32_t count = archiveMemberCount(archive);
  uint32_t written = writeAllMembers(archive, workDir);
  closeArchive(archive);
  return written == count;
}

int extractMember(Archive* archive, const char* name) {
  const char* workDir = workDirPath();
  if (workDir[0] == '\0') return 0;
  if (!isSafeMemberName(name)) return 0;
  char target[kPathBufferSize];
  size_t length = strlen(workDir);
  if (length >= sizeof target) return 0;
  memcpy(target, workDir, length + 1);
  if (pathJoin(target, sizeof target, name) == 0) return 0;
  ArchiveMember* member = findMember(archive, name);
  if (!member) return 0;
  return writeMember(archive, member, target);
}
