// The replaceable calls of the platform layer (both platforms). Each
// public function below calls through its row of one table (name, current
// function, default function); tests swap a row by name with
// platformSetCall to make an open, a write, a mkdir, a spawn or an
// allocation fail, to watch allocation sizes, to feed the clock a known
// second or the random source known bytes, or to say which directories
// allow loading code. Adding a call: its index and row here, its
// forwarder below, its default (here, or in each platform file when it
// differs by platform).
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform/platform.h"
#include "platform/platform_calls.h"

namespace {

// Position of each call's row in gCalls.
enum CallIndex {
  kOpenFile,
  kWriteFile,
  kMakeDir,
  kSpawnDetached,
  kWallClockSeconds,
  kAllocateZeroed,
  kAllocate,
  kReallocate,
  kDirAllowsExec,
  kRandomBytes,
  kCallCount
};

int64_t defaultWallClockSeconds() {
  time_t now = time(nullptr);
  return now == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(now);
}
void* defaultAllocateZeroed(size_t count, size_t size) {
  return calloc(count, size);
}
void* defaultAllocate(size_t size) { return malloc(size); }
void* defaultReallocate(void* block, size_t size) {
  return realloc(block, size);
}

struct CallRow {
  const char* name;
  PlatformCall current;   // null: the default runs
  PlatformCall fallback;  // the default
};

template <typename Fn>
PlatformCall asCall(Fn fn) {
  return reinterpret_cast<PlatformCall>(fn);
}

// In CallIndex order.
CallRow gCalls[] = {
    {"openFile", nullptr, asCall(platformRealOpenFile)},
    {"writeFile", nullptr, asCall(platformRealWriteFile)},
    {"makeDir", nullptr, asCall(platformRealMakeDir)},
    {"spawnDetached", nullptr, asCall(platformRealSpawnDetached)},
    {"wallClockSeconds", nullptr, asCall(defaultWallClockSeconds)},
    {"allocateZeroed", nullptr, asCall(defaultAllocateZeroed)},
    {"allocate", nullptr, asCall(defaultAllocate)},
    {"reallocate", nullptr, asCall(defaultReallocate)},
    {"dirAllowsExec", nullptr, asCall(platformRealDirAllowsExec)},
    {"randomBytes", nullptr, asCall(platformRealRandomBytes)},
};
static_assert(sizeof gCalls / sizeof gCalls[0] == kCallCount,
              "one row per call");

// The function row `index` runs now, as the type of its default `witness`
// (a function pointer cast back to its own type is the function again).
template <typename Fn>
Fn callOf(CallIndex index, Fn witness) {
  (void)witness;  // only its type is used
  const CallRow& row = gCalls[index];
  return reinterpret_cast<Fn>(row.current ? row.current : row.fallback);
}

CallRow* findRow(const char* name) {
  for (CallRow& row : gCalls) {
    if (strcmp(row.name, name) == 0) return &row;
  }
  return nullptr;
}

}  // namespace

int platformSetCall(const char* name, PlatformCall fn) {
  CallRow* row = findRow(name);
  if (!row) return 0;
  row->current = fn;
  return 1;
}

PlatformCall platformGetCall(const char* name) {
  const CallRow* row = findRow(name);
  if (!row) return nullptr;
  return row->current ? row->current : row->fallback;
}

FILE* openFile(const char* path, const char* mode) {
  return callOf(kOpenFile, platformRealOpenFile)(path, mode);
}

size_t writeFile(const void* data, size_t size, FILE* file) {
  return callOf(kWriteFile, platformRealWriteFile)(data, size, file);
}

int makeDir(const char* path) {
  return callOf(kMakeDir, platformRealMakeDir)(path);
}

int spawnDetached(const char* exePath, const char* const* args) {
  return callOf(kSpawnDetached, platformRealSpawnDetached)(exePath, args);
}

int64_t wallClockSeconds() {
  return callOf(kWallClockSeconds, defaultWallClockSeconds)();
}

void* allocateZeroed(size_t count, size_t size) {
  return callOf(kAllocateZeroed, defaultAllocateZeroed)(count, size);
}

void* allocate(size_t size) { return callOf(kAllocate, defaultAllocate)(size); }

void* reallocate(void* block, size_t size) {
  return callOf(kReallocate, defaultReallocate)(block, size);
}

int dirAllowsExec(const char* dir) {
  return callOf(kDirAllowsExec, platformRealDirAllowsExec)(dir);
}

int randomBytes(void* out, size_t size) {
  return callOf(kRandomBytes, platformRealRandomBytes)(out, size);
}
