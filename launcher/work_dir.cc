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

size_t getWorkDir(const char** out) {
  if (gWorkDir[0]) {
    *out = gWorkDir;
    return strlen(gWorkDir);
  }
  *out = nullptr;
  char path[kWorkDirBufferSize];
  size_t base = platformTempDir(path, sizeof path);
  if (base == 0) return 0;
  // A root temporary directory keeps no trailing separator: the name then
  // follows a single separator.
  if (path[base - 1] == kPathSeparator) path[--base] = '\0';

  long pid = processId();
  int found = 0;
  for (char letter = 'Z'; letter >= 'A' && !found; --letter) {
    int n = snprintf(path + base, sizeof path - base, "%cTAV%ld%c-%s",
                     kPathSeparator, pid, letter, kProgramWord);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path - base) return 0;
    PathInfo info;
    // Anything at that path (a file or a directory of an earlier process
    // with the same identifier) makes the letter taken.
    if (!statPath(path, &info)) found = 1;
  }
  if (!found || !makeDir(path)) return 0;
  memcpy(gWorkDir, path, strlen(path) + 1);
  *out = gWorkDir;
  return strlen(gWorkDir);
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
