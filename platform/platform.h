// The only header that knows there is an operating system: the bottom of
// the folder stack. Everything in launcher/, archive/, host/ and main/
// reaches files, directories, processes and dynamic libraries through
// these functions. platform_posix.cc and platform_win32.cc implement them;
// CMake compiles exactly one of the two. Results: 1 or a length or a
// pointer on success, 0 or null on failure, unless a line says otherwise.
#ifndef SKIFF_PLATFORM_PLATFORM_H_
#define SKIFF_PLATFORM_PLATFORM_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// The one path separator of native path text ('/' on POSIX, '\\' on
// Windows) and the separator between entries of PATH (':' or ';').
extern const char kPathSeparator;
extern const char kPathListSeparator;
// File-name suffixes of executables ("" or ".exe") and of the runtime's
// native extension modules (".so" or ".pyd").
extern const char kExecutableSuffix[];
extern const char kExtensionModuleSuffix[];

// Full path of the running executable into `out` (`size` bytes); its
// length, or 0 when it cannot be read or does not fit (never truncated).
size_t platformExePath(char* out, size_t size);

// The user's temporary directory into `out` as a full path (a relative
// one is taken from the current directory), without a trailing separator
// unless it is the root; its length, or 0 when there is none or it does
// not fit.
size_t platformTempDir(char* out, size_t size);

// The environment variable that names the user's temporary directory
// ("TMPDIR", "TMP"), for messages.
extern const char kTempDirVariable[];
// The system's own temporary directories, tried in this order after the
// user's one when that cannot hold a run; null-terminated ("/tmp",
// "/var/tmp" on POSIX, none on Windows).
extern const char* const kSystemTempDirs[];

// 1 when `dir` is a directory (a link to one counts) on a file system
// that lets libraries be loaded from files in it: on POSIX not mounted
// noexec. Always 1 on Windows, where no file system forbids it.
// Replaceable (see platformSetCall).
int dirAllowsExec(const char* dir);

// Fills `out` with `size` bytes from the system's random source
// (getrandom or /dev/urandom; rand_s). 1, or 0 when it fails.
// Replaceable (see platformSetCall).
int randomBytes(void* out, size_t size);

// What a path names, without following a final symbolic link.
struct PathInfo {
  int exists;      // anything is there: file, directory, link, other
  int isDir;       // a real directory (a link to one is not)
  int isLink;      // a symbolic link (or a reparse point on Windows)
  int isOurs;      // owned by the current user
  int64_t mtime;   // last modification, seconds since 1970-01-01 UTC
};
// Fills `info`; 1 when the path exists, 0 (info zeroed) when it does not
// or cannot be queried.
int statPath(const char* path, PathInfo* info);

// 1 when the single file name `name` means something else to the system
// than a file in a directory: on Windows the device names (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, any case, with or without an extension) and names
// holding ':' or ending in a dot or a blank. Never on POSIX.
int isReservedFileName(const char* name);

// Creates a directory private to the current user; 1 made, 0 failed
// (including when something of any kind, a dangling link too, already
// exists there: the creation is exclusive).
int makeDir(const char* path);
int removeDir(const char* path);   // 1 removed, 0 failed
int removeFile(const char* path);  // 1 removed, 0 failed; never follows links

// 1 when the file call that just failed (makeDir, openFile, writeFile,
// fclose) failed for lack of room: the disk or the user's quota is full,
// or the file would pass the process's file-size limit (ENOSPC, EDQUOT,
// EFBIG; ERROR_DISK_FULL). Asked right after the failure, before any
// other call can change the answer.
int lastFailureWasNoRoom();

// Seconds since 1970-01-01 UTC, or -1 when the clock cannot be read.
// Replaceable (see platformSetCall): a test feeds a known second.
int64_t wallClockSeconds();
long processId();

// Heap blocks whose failure or size tests need to see (the hash tables'
// slot arrays, the inflate buffer), as calloc, malloc and realloc; freed
// with free(). Replaceable (see platformSetCall).
void* allocateZeroed(size_t count, size_t size);
void* allocate(size_t size);
void* reallocate(void* block, size_t size);

// Environment of this process and its children. An empty value removes
// the variable. getEnv returns null when it is not set.
//
// kEmptyPathEntryIsCurrentDir: 1 where an empty entry of a PATH list
// means the current directory (POSIX), so that "DIR:" would add it to the
// search; 0 where an empty entry means nothing (Windows).
extern const int kEmptyPathEntryIsCurrentDir;
const char* getEnv(const char* name);
int setEnv(const char* name, const char* value);

// Buffered file streams. Every open and write of the launcher goes
// through these two, so that tests can make them fail (see
// platformSetCall below). `mode` is fopen's, and "wbx" creates a new
// file exclusively: the open fails when anything, a link included, is
// already at `path`.
FILE* openFile(const char* path, const char* mode);
size_t writeFile(const void* data, size_t size, FILE* file);

// Run lock: a lock file inside a work directory, held while the returned
// handle is open. lockFileAcquire creates the file, takes the lock and
// only then makes it appear under `path`, so no other process ever sees
// the file unlocked while its run is alive. null on failure.
struct LockFile;
LockFile* lockFileAcquire(const char* path);
void lockFileRelease(LockFile* lock);  // closes; the file stays on disk
// Deletes a lock file that no live run holds: 1 deleted, 0 when a run
// holds it (or it cannot be deleted). This failure is the only sign of a
// live run that the sweep uses.
int lockFileRemoveIfFree(const char* path);

// Directory listing filtered by a wildcard pattern ('*' and '?').
struct DirScan;
struct DirEntry {
  char name[256];
  PathInfo info;  // from statPath of the entry, links not followed
};
// null when the listing cannot be started (missing directory, no match
// on platforms that fail then).
DirScan* dirScanOpen(const char* directory, const char* pattern);
int dirScanNext(DirScan* scan, DirEntry* entry);  // 1 an entry, 0 no more
void dirScanClose(DirScan* scan);

// Starts `exePath` with the two arguments `arg1` and `arg2`, detached:
// own session, no console, standard streams on the null device, the
// parent's environment and current directory, no inherited descriptor.
// Never waits for its work and leaves no zombie. 1 started, 0 failed.
int spawnDetached(const char* exePath, const char* arg1, const char* arg2);

// Dynamic libraries.
void* loadLibrary(const char* path);               // null on failure
void* findSymbol(void* library, const char* name);  // null if absent
void unloadLibrary(void* library);

// Fault injection for tests: the replaceable calls go through one table
// of rows (name, current function, default function), one row per call:
// "openFile", "writeFile", "makeDir", "spawnDetached", "wallClockSeconds",
// "allocateZeroed", "allocate", "reallocate", "dirAllowsExec",
// "randomBytes". A replacement has the signature of the call it replaces,
// cast to PlatformCall.
typedef void (*PlatformCall)();
// Makes the named call run `fn`, or its default again when `fn` is null.
// 1 done, 0 unknown name.
int platformSetCall(const char* name, PlatformCall fn);
// The function the named call runs now; null for an unknown name.
PlatformCall platformGetCall(const char* name);

#endif  // SKIFF_PLATFORM_PLATFORM_H_
