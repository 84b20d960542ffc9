// Removal of work directories. A run removes its own at its end; one
// that was killed leaves it behind, so every normal run also starts a
// detached copy of the executable in cleanup mode ("--remove_temp_files"
// DIR); that child sweeps the parent of DIR for work directories whose
// lock file no live run holds and removes them.
//
// Where the files of loaded libraries stay in use until the process ends
// (Windows, kLoadedLibraryFilesStayInUse), the run cannot remove the
// extension modules the runtime keeps loaded, nor the runtime library.
// Its cleanup child is then also told which process the run is
// ("--remove_temp_files" DIR "--after_process" TOKEN, processToken): after
// its sweep it waits for that process to end and removes DIR. An older
// launcher given this form ignores the arguments after DIR.
#ifndef SKIFF_LAUNCHER_CLEANUP_H_
#define SKIFF_LAUNCHER_CLEANUP_H_

extern const char kRemoveTempFilesOption[];  // "--remove_temp_files"
extern const char kAfterProcessOption[];     // "--after_process"

// How long a cleanup child waits for its run to end, and how long it
// then tries to remove files that the ended run still holds (the system
// releases them a moment after the process counts as ended).
const int kRunEndWaitSeconds = 3600;
const int kEndedRunTries = 50;
const int kEndedRunTryMilliseconds = 100;

// A work directory without a lock file counts as being set up (and is
// left alone) until it is this many seconds old.
const int kYoungWorkDirSeconds = 10;

// Starts the cleanup child for this run's work directory; silent, not
// waited for. Does nothing when there is no work directory.
void spawnCleanupChild(const char* exePath);

// Cleanup mode, after the sweep, when the run's process is named: waits
// (kRunEndWaitSeconds at most) until the process `token` names has ended,
// then removes its work directory `dirPath`, but only when its lock file
// is there and free: the lock is taken over (removed, then taken anew),
// so that no sweep works there meanwhile, the files are removed, tried
// again for a while when in use, and then the lock file and the
// directory. Files that stay in use keep the lock file, free, for a
// later sweep.
void removeWorkDirAfterProcess(const char* dirPath, const char* token);

// Cleanup mode: examines every entry matching "TAV*-SKIFFRELAY" in the
// parent of `workDirPath` and removes the stale ones; with `keepOwn`, not
// `workDirPath` itself (removeWorkDirAfterProcess sees to it).
void sweepStaleWorkDirs(const char* workDirPath, int keepOwn = 0);

// Removes one work directory unless a live run holds its lock file: its
// files go, subdirectories (and so the directory) stay. The directory is
// opened once without following a link, judged on what was opened (ours,
// a real directory) and emptied through that handle, so a rename or a
// link put in its place meanwhile never redirects a delete.
void removeStaleWorkDir(const char* dirPath);

// The end of this run's work directory, after the runtime is unloaded and
// the archives are closed, through the handle held since it was made
// (workDirHandle), never through its path: every file but the lock file
// goes while the lock is still held, so no sweep works there meanwhile;
// then the lock is released (releaseRunLock), and the lock file and the
// directory go (the directory only while its path still names it).
// Best effort: what cannot be removed (a subdirectory, a file in use)
// stays for a later sweep. Where loaded libraries keep their files in use
// to the process's end, a file that stays keeps the lock held until then
// (keepRunLockToTheEnd), and the cleanup child removes the rest once the
// process has ended. 1 when the directory is gone.
int removeOwnWorkDir();

#endif  // SKIFF_LAUNCHER_CLEANUP_H_
