#include "main/startup.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "host/interpreter.h"
#include "host/prepare.h"
#include "host/runtime.h"
#include "launcher/cleanup.h"
#include "launcher/paths.h"
#include "launcher/phase_timing.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

const char kForkOption[] = "--multiprocessing-fork";

// Prepares the archives in the work directory; while one has no room for
// them (a full disk, a quota, a file-size limit) or is too deep for their
// paths, it is removed and the next candidate directory tried. 1 when the
// archives are ready, 0 after the one "# Error: " line.
static int prepareInWorkDirWithRoom(const char* exePath, char* runtimePath) {
  for (;;) {
    DirShortfall shortfall = kDirFine;
    if (prepareArchives(exePath, runtimePath, &shortfall)) return 1;
    if (shortfall == kDirFine) return 0;  // damaged archives: line printed
    (void)releaseArchives();
    (void)removeOwnWorkDir();
    const char* workDir = nullptr;
    std::string reason;
    const char* why =
        shortfall == kDirNoRoom ? kWorkDirNoRoom : kWorkDirPathTooLong;
    // Each move takes the next candidate: a bounded list.
    if (!nextWorkDir(why, &workDir, &reason)) {
      printStartupError(reason.c_str());
      return 0;
    }
    (void)acquireRunLock();
    spawnCleanupChild(exePath);  // its sweep covers the new directory's
  }
}

int runLauncher(int argc, char** argv) {
  // Cleanup mode: one sweep and, when told of its run's process, the
  // removal of that run's directory once the process has ended; nothing
  // else (no work directory, no lock, no runtime). It wins over every
  // other option.
  if (argc > 2 && strcmp(argv[1], kRemoveTempFilesOption) == 0) {
    // Given the run's process, its own directory is left to the removal
    // after its end: a sweep now could take its lock file while the files
    // of a run that just ended are still in use.
    int afterRun = argc > 4 && strcmp(argv[3], kAfterProcessOption) == 0;
    sweepStaleWorkDirs(argv[2], afterRun);
    if (afterRun) removeWorkDirAfterProcess(argv[2], argv[4]);
    return 0;
  }

  // An interrupt before the main script runs would end the run by the
  // signal, or cut the start-up short with a report that blames a module;
  // held back until then (runInterpreter decides), it ends the run with
  // status 1 and no line, and this run's directory still goes at the end.
  (void)holdInterrupts();  // not held: the old behaviour, no worse

  // Child mode: the option stays in the arguments for the scripts to see.
  char mainName[24];
  snprintf(mainName, sizeof mainName, "%s", "__main__");
  int childMode = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], kForkOption) == 0) {
      snprintf(mainName, sizeof mainName, "%s", "__fork__");
      childMode = 1;
      break;
    }
  }

  uint64_t phase = phaseStart();
  // The exe path stays alive until the runtime is finalised: it is the
  // interpreter's program name.
  char exePath[kPathBufferSize];
  exePath[0] = '\0';
  (void)getExePath(exePath);  // an empty path fails the archive step

  // No work directory ends the run with a line that says why, never in
  // silence: a caller could not tell that from a run with bad arguments.
  const char* workDir = nullptr;
  std::string reason;
  if (!getWorkDir(&workDir, &reason)) {
    printStartupError(reason.c_str());
    return kStatusPrepareFailed;  // nothing acquired yet
  }

  // Without a lock the run goes on, unprotected against sweeps.
  (void)acquireRunLock();
  // Started only now, so its sweep already finds this run's lock.
  spawnCleanupChild(exePath);
  phaseEnd("work-dir-lock-child", phase);

  char runtimePath[kPathBufferSize];
  runtimePath[0] = '\0';
  int status = 0;
  if (!prepareInWorkDirWithRoom(exePath, runtimePath)) {
    status = kStatusPrepareFailed;  // its "# Error: " line is printed
  } else if (!bindRuntime(runtimePath)) {
    status = kStatusNoRuntime;
  } else {
    // The runtime path buffer is reused for the executable's directory.
    status = runInterpreter(exePath, runtimePath, mainName, childMode, argc,
                            argv);
    phase = phaseStart();
    unbindRuntime();
    phaseEnd("unbind-runtime", phase);
  }

  // Teardown in reverse order of acquisition. The run's files go while it
  // still holds its lock, which is released on the way; what cannot be
  // removed stays for the sweep of a later run.
  (void)releaseArchives();  // always 1
  phase = phaseStart();
  (void)removeOwnWorkDir();  // best effort
  phaseEnd("remove-work-dir", phase);
  phaseReportTotals();
  return status;
}
