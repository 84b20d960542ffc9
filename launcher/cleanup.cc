#include "launcher/cleanup.h"

#include <string.h>

#include "launcher/paths.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

const char kRemoveTempFilesOption[] = "--remove_temp_files";
const char kAfterProcessOption[] = "--after_process";

// Room for a work directory path plus one entry name inside it.
static const size_t kEntryPathSize = kWorkDirBufferSize + 256;

void spawnCleanupChild(const char* exePath) {
  const char* dir = workDirPath();
  if (!dir || !*dir) return;
  // The files this run's runtime keeps loaded can go only once its process
  // has ended: the child waits for that too. Without a token it sweeps.
  char token[64];
  const char* args[] = {kRemoveTempFilesOption, dir, nullptr, nullptr, nullptr};
  if (kLoadedLibraryFilesStayInUse && processToken(token, sizeof token)) {
    args[2] = kAfterProcessOption;
    args[3] = token;
  }
  // Silent by design: without a child the run simply goes on unswept.
  // One whose longer command line does not fit still sweeps.
  if (!spawnDetached(exePath, args) && args[2]) {
    args[2] = nullptr;
    (void)spawnDetached(exePath, args);
  }
}

// Writes `dir`, one separator and the entry `name` into `out`
// (kEntryPathSize bytes); 0 when the result would not fit (the entry is
// then left alone). Not pathJoin: that drops the leading "." of a name
// like ".hidden", and the sweep must name each listed entry exactly.
static size_t joinEntry(char* out, const char* dir, const char* name) {
  size_t dirLength = strlen(dir);
  if (dirLength > 0 && dir[dirLength - 1] == kPathSeparator) --dirLength;
  size_t nameLength = strlen(name);
  if (dirLength + 1 + nameLength + 1 > kEntryPathSize) return 0;
  memcpy(out, dir, dirLength);
  out[dirLength] = kPathSeparator;
  memcpy(out + dirLength + 1, name, nameLength + 1);
  return dirLength + 1 + nameLength;
}

// A directory we may look into: a real directory (never a link to one)
// that belongs to us. On a shared temporary directory anything else
// would let another user steer our deletes.
static int isOurDirectory(const PathInfo& info) {
  return info.exists && info.isDir && !info.isLink && info.isOurs;
}

// Decides from the lock file whether the open directory `dir` is stale;
// 1 stale (the lock file, if any, is gone now), 0 live or still being set
// up.
static int claimStaleDir(DirHandle* dir, const PathInfo& dirInfo) {
  PathInfo lock;
  if (!statAt(dir, kLockFileName, &lock)) {
    // No lock file: either a run between making its directory and
    // locking it, or one that never got a lock. Only the age tells them
    // apart; a young directory is left to its run.
    int64_t now = wallClockSeconds();
    if (now < 0 || now - dirInfo.mtime < kYoungWorkDirSeconds) return 0;
    return 1;
  }
  if (lock.isDir && !lock.isLink) return 1;
  // No live run ever holds a link (its lock file is renamed into place as
  // a regular file), so a link is removed as a file, never followed.
  if (lock.isLink) return removeFileAt(dir, kLockFileName);
  // Deleting fails exactly while a live run holds the lock.
  return lockFileRemoveIfFreeAt(dir, kLockFileName);
}

// Deletes the files in the open directory `dir`, `keep` (a name) excepted
// when given. Subdirectories (and "." and "..") are not descended into;
// one left behind keeps the directory too, and a later sweep finishes
// it. A delete that fails ends the work when `stopAtFailure`, else the
// rest still go. 1 when the listing ran and every delete succeeded.
static int removeFilesIn(DirHandle* dir, const char* keep, int stopAtFailure) {
  DirScan* scan = dirScanOpenAt(dir, "*");
  if (!scan) return 0;
  int all = 1;
  DirEntry entry;
  while (dirScanNext(scan, &entry)) {
    if (entry.info.isDir && !entry.info.isLink) continue;
    if (keep && strcmp(entry.name, keep) == 0) continue;
    if (!removeFileAt(dir, entry.name)) {
      all = 0;
      if (stopAtFailure) break;
    }
  }
  dirScanClose(scan);
  return all;
}

void removeStaleWorkDir(const char* dirPath) {
  // Opened once, without following a link, and judged on what was
  // opened: a directory exchanged for a link or for another user's one
  // after the listing is never entered, and everything below goes
  // through this handle, whatever the path names meanwhile.
  PathInfo dirInfo;
  DirHandle* dir = dirOpen(dirPath, &dirInfo);
  if (!dir) return;
  // A concurrent sweep may have got to a file first: its failed delete
  // ends the work on this directory.
  if (isOurDirectory(dirInfo) && claimStaleDir(dir, dirInfo) &&
      removeFilesIn(dir, nullptr, 1)) {
    (void)removeOpenDir(dir, dirPath);  // fails while a subdirectory remains
  }
  dirClose(dir);
}

void removeWorkDirAfterProcess(const char* dirPath, const char* token) {
  // A run that goes on beyond the wait leaves its directory to a sweep.
  if (!waitForProcessEnd(token, kRunEndWaitSeconds * 1000)) return;
  PathInfo dirInfo;
  DirHandle* dir = dirOpen(dirPath, &dirInfo);
  if (!dir) return;  // removed by the run itself, or by a sweep
  PathInfo lock;
  // Its lock file, free, shows that the run is over, whatever the token
  // said; without one, a sweep decides (a run being set up has none yet).
  if (isOurDirectory(dirInfo) && statAt(dir, kLockFileName, &lock) &&
      !lock.isDir && !lock.isLink &&
      lockFileRemoveIfFreeAt(dir, kLockFileName)) {
    LockFile* held = lockFileAcquireAt(dir, kLockFileName);
    if (held) {
      int all = 0;
      for (int i = 0; i < kEndedRunTries && !all; ++i) {
        if (i > 0) sleepMilliseconds(kEndedRunTryMilliseconds);
        all = removeFilesIn(dir, kLockFileName, 0);
      }
      lockFileRelease(held);
      // A file still in use keeps the lock file, free, so that a later
      // sweep finds the directory stale at once.
      if (all && removeFileAt(dir, kLockFileName)) {
        (void)removeOpenDir(dir, dirPath);
      }
    }
  }
  dirClose(dir);
}

int removeOwnWorkDir() {
  const char* dir = workDirPath();
  DirHandle* handle = workDirHandle();
  if (!dir[0] || !handle) {
    (void)releaseRunLock();  // 0: none was held without a directory
    return 0;
  }
  // Through the handle held since the directory was made: should its path
  // name something else by now, what is removed is still only ours.
  int all = removeFilesIn(handle, kLockFileName, 0);
  if (!all && kLoadedLibraryFilesStayInUse) {
    // What stays is most likely in use until this process ends (the
    // extension modules and the runtime library, which the runtime never
    // unloads). So is the directory, then: the lock stays held until the
    // system releases it with the process, and the cleanup child, waiting
    // for that, removes the rest.
    (void)keepRunLockToTheEnd();
    closeWorkDirHandle();
    return 0;
  }
  (void)releaseRunLock();
  // The lock file only once released: Windows deletes no file that is
  // held open without delete sharing. A sweep that finds the directory
  // unlocked in between does the same work; whichever is second fails
  // harmlessly.
  (void)removeFileAt(handle, kLockFileName);
  int removed = removeOpenDir(handle, dir);
  closeWorkDirHandle();
  return removed;
}

void sweepStaleWorkDirs(const char* workDirPath, int keepOwn) {
  // The argument only locates the temporary directory: every work
  // directory there is examined.
  if (!workDirPath || strlen(workDirPath) >= kPathBufferSize) return;
  char parent[kPathBufferSize];
  pathParent(workDirPath, parent);
  // An empty parent means the argument's directory is the root (or it
  // has no separator at all): entries then lie directly under the root,
  // and joining them to the empty parent gives exactly those paths.
  const char root[2] = {kPathSeparator, '\0'};
  const char* listDir = parent[0] ? parent : root;

  DirScan* scan = dirScanOpen(listDir, kWorkDirPattern);
  if (!scan) return;
  DirEntry entry;
  while (dirScanNext(scan, &entry)) {
    if (!isOurDirectory(entry.info)) continue;  // files, links, others' dirs
    char dirPath[kEntryPathSize];
    if (!joinEntry(dirPath, parent, entry.name)) continue;
    if (keepOwn && strcmp(dirPath, workDirPath) == 0) continue;
    removeStaleWorkDir(dirPath);
  }
  dirScanClose(scan);
}
