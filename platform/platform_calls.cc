// The replaceable calls of the platform layer (both platforms): the
// public functions dispatch through this table, which tests redirect
// with platformOverride to make an open, a write, a mkdir or a spawn fail.
#include <string.h>

#include "platform/platform.h"
#include "platform/platform_calls.h"

static struct {
  FILE* (*openFile)(const char*, const char*);
  size_t (*writeFile)(const void*, size_t, FILE*);
  int (*makeDir)(const char*);
  int (*spawnDetached)(const char*, const char*, const char*);
} gCalls = {platformRealOpenFile, platformRealWriteFile, platformRealMakeDir,
            platformRealSpawnDetached};

// Sets `*slot` to `fn`, or back to `real` when `fn` is null.
template <typename Fn>
static void setCall(Fn* slot, void* fn, Fn real) {
  *slot = fn ? reinterpret_cast<Fn>(fn) : real;
}

int platformOverride(const char* name, void* fn) {
  if (strcmp(name, "openFile") == 0) {
    setCall(&gCalls.openFile, fn, platformRealOpenFile);
  } else if (strcmp(name, "writeFile") == 0) {
    setCall(&gCalls.writeFile, fn, platformRealWriteFile);
  } else if (strcmp(name, "makeDir") == 0) {
    setCall(&gCalls.makeDir, fn, platformRealMakeDir);
  } else if (strcmp(name, "spawnDetached") == 0) {
    setCall(&gCalls.spawnDetached, fn, platformRealSpawnDetached);
  } else {
    return 0;
  }
  return 1;
}

FILE* openFile(const char* path, const char* mode) {
  return gCalls.openFile(path, mode);
}

size_t writeFile(const void* data, size_t size, FILE* file) {
  return gCalls.writeFile(data, size, file);
}

int makeDir(const char* path) { return gCalls.makeDir(path); }

int spawnDetached(const char* exePath, const char* arg1, const char* arg2) {
  return gCalls.spawnDetached(exePath, arg1, arg2);
}
