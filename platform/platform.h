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

// 1 when no other user can rename, remove or replace the entries of
// `dir`, nor those of any directory above it, so that a path below `dir`
// keeps naming what this process made there: each directory on the way
// (as written, and as the links along it resolve) belongs to this
// process's user (its effective id) or to the administrator (root), and
// one that its group or others may write has the sticky bit; a link on
// the way belongs to one of the two as well. 0 when one fails that: its
// path into `culprit` and the reason into `why` (`size` bytes each).
// Always 1 on Windows, where the user's temporary directory is private to
// the user.
int dirSafeFromOthers(const char* dir, char* culprit, char* why, size_t size);

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
  int isPrivate;   // its owner alone may read, write or enter it (mode
                   // 0700 on POSIX; always 1 on Windows)
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

// A directory held open, so that what is done in it goes to that very
// directory even if its path is renamed or a link is put in its place
// meanwhile. On POSIX a descriptor opened without following a final link
// (O_DIRECTORY|O_NOFOLLOW), and every entry is reached relative to it
// (openat, unlinkat, fdopendir); on Windows its path, as every other call
// there takes it.
struct DirHandle;
// Opens the directory at `path` and fills `info` from the open directory
// itself (fstat). null when nothing is there, it is a link or no
// directory, or it cannot be opened.
DirHandle* dirOpen(const char* path, PathInfo* info);
void dirClose(DirHandle* dir);
// What the entry `name` of `dir` is, a link not followed; 1 when it
// exists, 0 (info zeroed) when not.
int statAt(DirHandle* dir, const char* name, PathInfo* info);
// Removes the entry `name` of `dir` that is no directory (a link is
// removed itself, never followed); 1 removed, 0 failed.
int removeFileAt(DirHandle* dir, const char* name);
// Removes the empty directory `dir` by its path `path`, but only while
// that path still names it: a link or another directory put there stays.
// 1 removed, 0 failed.
int removeOpenDir(DirHandle* dir, const char* path);
// A listing of `dir`, as dirScanOpen lists; null when it cannot start.
DirScan* dirScanOpenAt(DirHandle* dir, const char* pattern);
// lockFileAcquire and lockFileRemoveIfFree for the entry `name` of `dir`.
LockFile* lockFileAcquireAt(DirHandle* dir, const char* name);
int lockFileRemoveIfFreeAt(DirHandle* dir, const char* name);

// An interrupt (SIGINT, Ctrl+C) held back: while held, one that comes is
// kept pending instead of ending the process or reaching the runtime's
// handler. holdInterrupts: 1 when held afterwards. releaseInterrupts lets
// them through again and returns 1 when one came while held and the
// process does not ignore interrupts (it is then taken: it never
// arrives); 0 otherwise. On Windows neither does anything (0 from
// releaseInterrupts).
int holdInterrupts();
int releaseInterrupts();
int dirScanNext(DirScan* scan, DirEntry* entry);  // 1 an entry, 0 no more
void dirScanClose(DirScan* scan);

// Starts `exePath` with the arguments `args` (null-terminated, at most
// kSpawnArgsMax), detached: own session, no console, standard streams on
// the null device, the parent's environment and current directory, no
// inherited descriptor. Never waits for its work and leaves no zombie.
// On Windows the command line is the quoted executable, then each
// argument, an option ("-" first) as it is and any other quoted, one
// blank between: at most 2048 bytes, or nothing is started.
// 1 started, 0 failed.
const int kSpawnArgsMax = 8;
int spawnDetached(const char* exePath, const char* const* args);

// 1 where the file of a library stays in use, and cannot be deleted, for
// as long as the library is loaded (Windows: no mapped file can be
// deleted). The runtime never unloads the extension modules it loaded
// (nor, while they are there, the runtime library they import), so their
// files are in use until the process ends. 0 on POSIX, where a loaded
// library's file can be removed at any time.
extern const int kLoadedLibraryFilesStayInUse;

// A text that names this process while it runs and no process after it:
// its id and the moment it started. Into `out` (`size` bytes); its
// length, 0 when it cannot be read or does not fit.
size_t processToken(char* out, size_t size);
// Waits until the process that `token` (from processToken) names has
// ended, at most `milliseconds`. 1 when it has ended: no process has its
// id any more, or the one that has started at another moment. 0 when it
// still runs after the wait, or the token is malformed.
int waitForProcessEnd(const char* token, int milliseconds);
void sleepMilliseconds(int milliseconds);

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
