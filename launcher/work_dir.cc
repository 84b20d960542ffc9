#include "launcher/work_dir.h"

#include <stdio.h>
#include <string.h>

#include "launcher/paths.h"
#include "platform/platform.h"

const char kWorkDirPattern[] = "TAV*-SKIFFRELAY";
const char kLockFileName[] = "__TAV_LOCK__";
static const char kProgramWord[] = "SKIFFRELAY";

static char gExePath[kPathBufferSize];
static size_t gExePathLength;
static char gWorkDir[kWorkDirBufferSize];
static LockFile* gLock;
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

// Copies `dir` into `out` (kWorkDirBufferSize bytes) when it allows
// loading the runtime and fits; its length, else 0 and `out` unchanged.
static size_t useDirIfAllowed(char* out, const char* dir) {
  size_t n = strlen(dir);
  if (n == 0 || n >= kWorkDirBufferSize || !dirAllowsExec(dir)) return 0;
  memcpy(out, dir, n + 1);
  return n;
}

// The directory to make the work directory in, into `out`: the first
// candidate that allows loading the runtime from it. Its length, or 0
// with the reason in *err.
static size_t chooseTempDir(char* out, std::string* err) {
  size_t n = platformTempDir(out, kWorkDirBufferSize);
  if (n == 0) {
    *err = std::string("unable to use the temporary directory named by ") +
           kTempDirVariable;
    return 0;
  }
  if (dirAllowsExec(out)) return n;
  std::string tried = out;
  for (const char* const* dir = kSystemTempDirs; *dir; ++dir) {
    if (strcmp(*dir, out) == 0) continue;  // the default when unset
    if (size_t length = useDirIfAllowed(out, *dir)) return length;
    tried = tried + ", " + *dir;
  }
  char exePath[kPathBufferSize];
  char exeDir[kPathBufferSize];
  if (getExePath(exePath) && pathParent(exePath, exeDir)) {
    if (size_t length = useDirIfAllowed(out, exeDir)) return length;
    tried = tried + ", " + exeDir;
  }
  *err = "no temporary directory allows loading the runtime (missing or "
         "mounted noexec: " + tried + "); set " + kTempDirVariable +
         " to one that does";
  return 0;
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
// bytes long) and leaves its path in `path`; 1, or 0 when none could be
// made.
static int makeWorkDirIn(char* path, size_t base) {
  long pid = processId();
  for (char letter = 'Z'; letter >= 'A'; --letter) {
    int n = snprintf(path + base, kWorkDirBufferSize - base, "%cTAV%ld%c-%s",
                     kPathSeparator, pid, letter, kProgramWord);
    if (n < 0 || static_cast<size_t>(n) >= kWorkDirBufferSize - base) break;
    // Exclusive: anything at that path (a file or directory of an earlier
    // process with the same identifier, anyone's link) makes the letter
    // taken, with no gap between looking and making.
    if (makeDir(path)) return 1;
  }
  for (int i = 0; i < kRandomNameTries; ++i) {
    if (formatRandomName(path, base) && makeDir(path)) return 1;
  }
  return 0;
}

size_t getWorkDir(const char** out, std::string* err) {
  if (gWorkDir[0]) {
    *out = gWorkDir;
    return strlen(gWorkDir);
  }
  *out = nullptr;
  std::string reason;
  char path[kWorkDirBufferSize];
  size_t base = chooseTempDir(path, &reason);
  if (base > 0) {
    std::string dir = path;
    // A root temporary directory keeps no trailing separator: the name
    // then follows a single separator.
    if (path[base - 1] == kPathSeparator) path[--base] = '\0';
    if (makeWorkDirIn(path, base)) {
      memcpy(gWorkDir, path, strlen(path) + 1);
      *out = gWorkDir;
      return strlen(gWorkDir);
    }
    reason = "unable to create a work directory in " + dir;
  }
  if (err) *err = reason;
  return 0;
}

const char* workDirPath() { return gWorkDir; }

int acquireRunLock() {
  if (gLock) return 1;
  if (!gWorkDir[0]) return 0;
  char path[kWorkDirBufferSize];
  memcpy(path, gWorkDir, strlen(gWorkDir) + 1);
  if (!pathJoin(path, sizeof path, kLockFileName)) return 0;
  gLock = lockFileAcquire(path);
  return gLock != nullptr;
}

int releaseRunLock() {
  if (!gLock) return 0;
  lockFileRelease(gLock);
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
  gWorkDir[0] = '\0';
}

void resetRandomKeyForTesting() { memset(gKey, 0, sizeof gKey); }
