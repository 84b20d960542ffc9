// Inside the platform layer only: the default implementations of the
// replaceable calls that differ by platform. Each platform file defines
// them; platform_calls.cc dispatches through a table whose rows start out
// running them.
#ifndef SKIFF_PLATFORM_PLATFORM_CALLS_H_
#define SKIFF_PLATFORM_PLATFORM_CALLS_H_

#include <stddef.h>
#include <stdio.h>

FILE* platformRealOpenFile(const char* path, const char* mode);
size_t platformRealWriteFile(const void* data, size_t size, FILE* file);
int platformRealMakeDir(const char* path);
int platformRealSpawnDetached(const char* exePath, const char* const* args);
int platformRealDirAllowsExec(const char* dir);
int platformRealRandomBytes(void* out, size_t size);

#endif  // SKIFF_PLATFORM_PLATFORM_CALLS_H_
