// Process-wide facts of one run: the executable's path, the private work
// directory in the temporary directory, the run lock inside it, and the
// per-process random key of the hash tables.
//
// Where: the first of the user's temporary directory ($TMPDIR), the
// system's ones (/tmp, /var/tmp) and the executable's own directory that
// allows loading the runtime library from it (not mounted noexec), in
// which no other user can rename entries (dirSafeFromOthers: none of
// them could exchange the work directory for one of their own) and that
// has room for a work directory; one whose file system fills up during
// extraction is left for the next (see nextWorkDir). The work directory
// is held open from its creation on (workDirHandle), and its lock file
// is made through that handle.
//
// Work directory name: "TAV" <pid> <letter> "-SKIFFRELAY", the letter the
// first of 'Z' down to 'A' whose name is free. Each name is tried with an
// exclusive mkdir, so anything already there (a file, a directory, a
// dangling link) makes it taken. Should all 26 be taken, as another user
// can arrange for any process id in a shared /tmp, the name is "TAV_"
// <12 random letters and digits> "-SKIFFRELAY" instead. The cleanup sweep
// finds both kinds with the pattern "TAV*-SKIFFRELAY". The lock file
// "__TAV_LOCK__" inside it is held for the whole run.
#ifndef SKIFF_LAUNCHER_WORK_DIR_H_
#define SKIFF_LAUNCHER_WORK_DIR_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

struct DirHandle;

extern const char kWorkDirPattern[];  // "TAV*-SKIFFRELAY"
extern const char kLockFileName[];    // "__TAV_LOCK__"

// Copies the executable's full path into `out` (kPathBufferSize bytes);
// its length, 0 when it cannot be found. Cached after the first call.
size_t getExePath(char* out);

// Creates this run's work directory on the first call and points `*out`
// at its path; later calls return the same path without touching the
// disk. Length of the path, or 0 (and *out null) on failure, with the
// reason in `*err` (when given) as one line naming the directory tried.
size_t getWorkDir(const char** out, std::string* err = nullptr);

// A run whose work directory cannot hold its files (extraction ran out of
// room, or the paths did not fit) moves on: the caller removes that
// directory (removeOwnWorkDir), then nextWorkDir makes one in the next
// candidate that allows loading the runtime and has room. `why` is one of
// the texts below, named in the line that ends a run for which no
// candidate is left. Length of the new path, or 0 (and *out null) with
// the reason in `*err`.
extern const char kWorkDirNoRoom[];       // "no room (disk or quota ...)"
extern const char kWorkDirPathTooLong[];  // "paths too long"
size_t nextWorkDir(const char* why, const char** out,
                   std::string* err = nullptr);

// The work directory path, or "" before getWorkDir succeeded.
const char* workDirPath();
// The work directory held open since it was made (checked then to be
// this user's own and mode 0700), or null; closeWorkDirHandle closes it
// once the directory is removed.
DirHandle* workDirHandle();
void closeWorkDirHandle();

// 1 when the run lock is held afterwards, 0 when not (no work directory,
// file not creatable). A second call while held returns 1.
int acquireRunLock();
// 1 when a held lock was released, 0 when none was held.
int releaseRunLock();
// Keeps the held lock until the process ends, when the system releases
// it (the run lock is then no longer held in the sense above, and a new
// one can be taken); for a work directory whose files stay in use until
// then. 1 when one was held.
int keepRunLockToTheEnd();

// The 8-byte process random key, byte 0 least significant. Derived from
// the clock (wallClockSeconds, a second s) on first use and fixed for the
// life of the process: eight times s = s * 784718005 + 48315 in signed
// 64-bit arithmetic that wraps, then s = s % 68718952447 (truncated toward
// zero), and key byte i = the low 8 bits of s. Should that give all zero
// bytes, the next second is tried.
uint64_t processRandomKey();

// Tests only: forget the cached work directory (the directory stays) and
// release the lock (and those kept to the end), so that a test can start
// from an empty state.
void resetWorkDirForTesting();
// Tests only: forget the random key, so that the next processRandomKey
// derives it from the clock again. No hash table may be alive then: its
// slots were placed with the old key.
void resetRandomKeyForTesting();

#endif  // SKIFF_LAUNCHER_WORK_DIR_H_
