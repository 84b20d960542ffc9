#include "launcher/work_dir.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "launcher/paths.h"
#include "platform/platform.h"

const char kWorkDirPattern[] = "TAV*-SKIFFRELAY";
const char kLockFileName[] = "__TAV_LOCK__";
const char kWorkDirNoRoom[] =
    "no room (disk or quota full, or file size limit)";
const char kWorkDirPathTooLong[] = "paths too long";
static const char kProgramWord[] = "SKIFFRELAY";

static char gExePath[kPathBufferSize];
static size_t gExePathLength;
static char gWorkDir[kWorkDirBufferSize];
static LockFile* gLock;
// Locks kept to the process's end, one per work directory made at most.
static LockFile* gKeptLocks[8];
static size_t gKeptLockCount;
static DirHandle* gWorkDirHandle;  // the work directory, held open
static uint8_t gKey[8];

size_t getExePath(char* out) {
  if (gExePathLength == 0) {
    gExePathLength = platformExePath(gExePath, sizeof gExePath);
  }
  memcpy(out, gExePath, gExePathLength + 1);
  return gExePathLength;
}

// Letters and digits only: the random part is safe in any file system
// and cannot be mistaken for a process id followed by a capital letter.
static const char kRandomAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
static const size_t kRandomNameLength = 12;
// An unpredictable name is taken only by chance; a few tries settle it,
// and a random source that keeps repeating itself cannot loop forever.
static const int kRandomNameTries = 16;

// Where work directories may go, in order of preference: the user's
// temporary directory, the system's ones, the executable's own directory.
// Candidate `index` into `out` (kWorkDirBufferSize bytes): its length; 0
// when the candidate is not there (a system directory that is the user's
// one already, an executable directory that cannot be found or does not
// fit); -1 past the last one.
static long tempDirCandidate(int index, const char* first, char* out) {
  if (index == 0) {
    return static_cast<long>(platformTempDir(out, kWorkDirBufferSize));
  }
  int systemCount = 0;
  while (kSystemTempDirs[systemCount]) ++systemCount;
  const char* dir = nullptr;
  char exeDir[kPathBufferSize];
  if (index <= systemCount) {
    dir = kSystemTempDirs[index - 1];
    if (strcmp(dir, first) == 0) return 0;  // the default when unset
  } else if (index == systemCount + 1) {
    char exePath[kPathBufferSize];
    if (!getExePath(exePath) || !pathParent(exePath, exeDir)) return 0;
    dir = exeDir;
  } else {
    return -1;
  }
  size_t n = strlen(dir);
  if (n >= kWorkDirBufferSize) return 0;
  memcpy(out, dir, n + 1);
  return static_cast<long>(n);
}

// The candidates passed over so far, with the reason for each; kept for
// the line that ends a run for which none would do.
struct PassedOver {
  std::string dir;
  std::string why;
};
static const char kNoExec[] = "missing or mounted noexec";
static const char kUnusableTempDir[] = "unreadable or too long";
static std::vector<PassedOver> gPassedOver;
static int gNextCandidate;  // the first candidate not yet tried
static std::string gFirstCandidate;
static std::string gTempDir;  // where the work directory in use is

// The line for a run that found no candidate to use.
static std::string noCandidateLeft() {
  std::string list;
  int onlyNoExec = 1;
  for (const PassedOver& p : gPassedOver) {
    if (p.why != kNoExec) onlyNoExec = 0;  // compared as text
  }
  for (const PassedOver& p : gPassedOver) {
    if (!list.empty()) list += onlyNoExec ? ", " : "; ";
    list += p.dir;
    if (!onlyNoExec) list = list + ": " + p.why;
  }
  if (onlyNoExec) {
    return std::string(
               "no temporary directory allows loading the runtime "
               "(missing or mounted noexec: ") +
           list + "); set " + kTempDirVariable + " to one that does";
  }
  return "no temporary directory can hold a run (" + list + "); set " +
         kTempDirVariable + " to one that does";
}
// Writes the separator and the random name after `base` in `path`; 1, or
// 0 when the random source fails or the name does not fit.
static int formatRandomName(char* path, size_t base) {
  uint8_t bytes[kRandomNameLength];
  if (!randomBytes(bytes, sizeof bytes)) return 0;
  char random[kRandomNameLength + 1];
  for (size_t i = 0; i < kRandomNameLength; ++i) {
    random[i] = kRandomAlphabet[bytes[i] % (sizeof kRandomAlphabet - 1)];
  }
  random[kRandomNameLength] = '\0';
  int n = snprintf(path + base, kWorkDirBufferSize - base, "%cTAV_%s-%s",
                   kPathSeparator, random, kProgramWord);
  return n > 0 && static_cast<size_t>(n) < kWorkDirBufferSize - base;
}

// Makes the work directory inside the directory `path` holds (`base`
// bytes long) and leaves its path in `path`; 1, 0 when none could be
// made, kNoRoomThere when the file system has no room for one,
// kTooLongThere when the name does not fit after the directory.
const int kNoRoomThere = -1;
const int kTooLongThere = -2;
static int makeWorkDirIn(char* path, size_t base) {
  long pid = processId();
  for (char letter = 'Z'; letter >= 'A'; --letter) {
    int n = snprintf(path + base, kWorkDirBufferSize - base, "%cTAV%ld%c-%s",
                     kPathSeparator, pid, letter, kProgramWord);
    if (n < 0 || static_cast<size_t>(n) >= kWorkDirBufferSize - base) {
      return kTooLongThere;
    }
    // Exclusive: anything at that path (a file or directory of an earlier
    // process with the same identifier, anyone's link) makes the letter
    // taken, with no gap between looking and making.
    if (makeDir(path)) return 1;
    if (lastFailureWasNoRoom()) return kNoRoomThere;
  }
  for (int i = 0; i < kRandomNameTries; ++i) {
    if (formatRandomName(path, base) && makeDir(path)) return 1;
  }
  return 0;
}

// Opens the work directory just made at `path` and keeps it open: its
// files are removed through that handle at the end, never through the
// path. It must be this user's own and private, or it is not the one
// made (nothing is then touched there). 1 when held.
static int holdWorkDir(const char* path) {
  PathInfo info;
  DirHandle* dir = dirOpen(path, &info);
  if (dir && (!info.isOurs || !info.isPrivate)) {
    dirClose(dir);
    dir = nullptr;
  }
  if (!dir) return 0;
  dirClose(gWorkDirHandle);  // an earlier directory's, when moving on
  gWorkDirHandle = dir;
  return 1;
}

// Makes the work directory in the first candidate from gNextCandidate on
// that allows loading the runtime and has room; its length, or 0 with the
// reason in *err.
static size_t makeWorkDir(const char** out, std::string* err) {
  char path[kWorkDirBufferSize];
  for (;; ++gNextCandidate) {
    long n = tempDirCandidate(gNextCandidate, gFirstCandidate.c_str(), path);
    if (n < 0) break;
    if (n == 0) {
      // The user's directory could not be read, or is too long for any
      // path here: the next one will do.
      if (gNextCandidate == 0) {
        gPassedOver.push_back({kTempDirVariable, kUnusableTempDir});
      }
      continue;
    }
    if (gNextCandidate == 0) gFirstCandidate = path;
    if (!dirAllowsExec(path)) {
      gPassedOver.push_back({path, kNoExec});
      continue;
    }
    // Where another user can rename entries, the work directory could be
    // exchanged for theirs (or for a link) while it is being filled, and
    // the runtime library loaded from it would be theirs.
    char culprit[kWorkDirBufferSize];
    char why[kWorkDirBufferSize];
    if (!dirSafeFromOthers(path, culprit, why, sizeof why)) {
      std::string where = strcmp(culprit, path) == 0 ? "it" : culprit;
      gPassedOver.push_back({path, "other users can rename entries in " +
                                       where + " (" + why + ")"});
      continue;
    }
    std::string dir = path;
    size_t base = static_cast<size_t>(n);
    // A root temporary directory keeps no trailing separator: the name
    // then follows a single separator.
    if (path[base - 1] == kPathSeparator) path[--base] = '\0';
    int made = makeWorkDirIn(path, base);
    if (made > 0 && !holdWorkDir(path)) {
      (void)removeDir(path);  // empty: made just now, or not ours at all
      made = 0;
    }
    if (made > 0) {
      ++gNextCandidate;
      gTempDir = dir;
      memcpy(gWorkDir, path, strlen(path) + 1);
      *out = gWorkDir;
      return strlen(gWorkDir);
    }
    if (made == 0) {
      *err = "unable to create a work directory in " + dir;
      return 0;
    }
    gPassedOver.push_back(
        {dir, made == kNoRoomThere ? kWorkDirNoRoom : kWorkDirPathTooLong});
  }
  *err = noCandidateLeft();
  return 0;
}

size_t getWorkDir(const char** out, std::string* err) {
  if (gWorkDir[0]) {
    *out = gWorkDir;
    return strlen(gWorkDir);
  }
  *out = nullptr;
  // A first search starts from the first candidate again.
  gNextCandidate = 0;
  gPassedOver.clear();
  std::string reason;
  size_t length = makeWorkDir(out, &reason);
  if (!length && err) *err = reason;
  return length;
}

size_t nextWorkDir(const char* why, const char** out, std::string* err) {
  *out = nullptr;
  if (gWorkDir[0]) {
    gPassedOver.push_back({gTempDir, why});
    gWorkDir[0] = '\0';
  }
  std::string reason;
  size_t length = makeWorkDir(out, &reason);
  if (!length && err) *err = reason;
  return length;
}

const char* workDirPath() { return gWorkDir; }

DirHandle* workDirHandle() { return gWorkDirHandle; }

void closeWorkDirHandle() {
  dirClose(gWorkDirHandle);
  gWorkDirHandle = nullptr;
}

int acquireRunLock() {
  if (gLock) return 1;
  if (!gWorkDir[0] || !gWorkDirHandle) return 0;
  gLock = lockFileAcquireAt(gWorkDirHandle, kLockFileName);
  return gLock != nullptr;
}

int releaseRunLock() {
  if (!gLock) return 0;
  lockFileRelease(gLock);
  gLock = nullptr;
  return 1;
}

int keepRunLockToTheEnd() {
  if (!gLock) return 0;
  if (gKeptLockCount == sizeof gKeptLocks / sizeof gKeptLocks[0]) {
    return releaseRunLock();  // more directories than a run makes
  }
  gKeptLocks[gKeptLockCount++] = gLock;
  gLock = nullptr;
  return 1;
}

static int keyIsZero() {
  for (uint8_t b : gKey)
    if (b) return 0;
  return 1;
}

uint64_t processRandomKey() {
  int64_t lastSeed = 0;
  int tries = 0;
  while (keyIsZero()) {
    int64_t seed = wallClockSeconds();
    // Should one second ever yield an all-zero key, move the seed on
    // rather than spin until the clock ticks.
    if (tries++ > 0 && seed <= lastSeed) seed = lastSeed + 1;
    lastSeed = seed;
    int64_t s = seed;
    for (int i = 0; i < 8; ++i) {
      // Signed 64-bit arithmetic that wraps: done in unsigned, where
      // wrapping is defined, then read back as signed.
      s = static_cast<int64_t>(static_cast<uint64_t>(s) * 784718005u + 48315u);
      s = s % 68718952447LL;  // truncates toward zero, sign of the dividend
      gKey[i] = static_cast<uint8_t>(s & 0xFF);
    }
  }
  uint64_t key = 0;
  for (int i = 7; i >= 0; --i) key = (key << 8) | gKey[i];
  return key;
}

void resetWorkDirForTesting() {
  releaseRunLock();
  while (gKeptLockCount > 0) lockFileRelease(gKeptLocks[--gKeptLockCount]);
  closeWorkDirHandle();
  gWorkDir[0] = '\0';
  gPassedOver.clear();
  gNextCandidate = 0;
  gFirstCandidate.clear();
  gTempDir.clear();
}

void resetRandomKeyForTesting() { memset(gKey, 0, sizeof gKey); }
