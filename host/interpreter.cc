#include "host/interpreter.h"

#include <string.h>

#include "host/embedded.h"
#include "host/import_module.h"
#include "host/prepare.h"
#include "host/runtime.h"
#include "host/sys_setup.h"
#include "launcher/paths.h"
#include "launcher/phase_timing.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

// Written into each of the three start-up flags. The runtime only tests
// them for non-zero; the odd value makes our writes recognisable.
static const int kStartupFlagValue = 42;

// The child-mode hand-over: the script ran as __fork__, so its
// `if __name__ == "__main__"` part did not run; multiprocessing then takes
// the process over.
static const char* const kChildStatements[] = {
    "import sys; sys.modules['__main__'] = sys.modules['__fork__']",
    "from multiprocessing import freeze_support; freeze_support()",
};

// Everything the runtime must know before it starts, then the start.
// *programName and *searchPath receive the wide texts handed to it, which
// must outlive Py_Finalize (null when a conversion failed; the runtime
// then keeps its default).
static void startRuntime(const char* exePath, wchar_t** programName,
                         wchar_t** searchPath) {
  // The launcher is not a Python installation: neither PYTHONHOME nor the
  // user's PYTHONPATH, PYTHONIOENCODING, PYTHONSTARTUP and the like may
  // change or break a run (an unknown codec there is fatal at start).
  // Removed from the environment too, for child processes.
  (void)setEnv("PYTHONHOME", "");
  *gRuntime.Py_IgnoreEnvironmentFlag = 1;

  *programName = gRuntime.Py_DecodeLocale(exePath, nullptr);
  if (*programName) gRuntime.Py_SetProgramName(*programName);

  *gRuntime.Py_NoSiteFlag = kStartupFlagValue;  // the embedded site runs
  *gRuntime.Py_FrozenFlag = kStartupFlagValue;  // no path warnings
  *gRuntime.Py_DontWriteBytecodeFlag = kStartupFlagValue;

  // The runtime imports the encodings package while it starts, before our
  // importers exist; the zip extracted from the modules archive is its
  // only search path, so nothing of an installed Python is read.
  char initZip[kPathBufferSize];
  initZip[0] = '\0';
  const char* workDir = workDirPath();
  if (strlen(workDir) < sizeof initZip) {
    memcpy(initZip, workDir, strlen(workDir) + 1);
    (void)pathJoin(initZip, sizeof initZip, kInitZipName);
  }
  *searchPath = gRuntime.Py_DecodeLocale(initZip, nullptr);
  if (*searchPath) gRuntime.Py_SetPath(*searchPath);

  uint64_t phase = phaseStart();
  gRuntime.Py_Initialize();
  gRuntime.PyEval_InitThreads();
  phaseEnd("Py_Initialize", phase);
}

// The embedded modules in their fixed order; any failure ends the run
// with whatever exception it left pending. 0, or 1 when an interrupt came
// before site and the main script (neither then runs).
static int runScripts(const char* exePath, char* exeDirBuffer,
                      const char* mainName, int childMode) {
  uint64_t phase = phaseStart();
  (void)resetSysPath();
  (void)pathParent(exePath, exeDirBuffer);
  (void)appendSysPath(exeDirBuffer);
  (void)initImportModule();  // appends the work directory to sys.path

  int loaded = loadFrameworkModules();
  phase = phaseEnd("framework-modules", phase);
  if (!loaded) return 0;  // it printed its line
  (void)callModuleFunction("tav_path", "ensure_workdir");
  (void)callModuleFunction("tav_import", "registerImporterClasses");
  phase = phaseEnd("framework-hooks", phase);
  // Interrupts, held back since the start, reach the runtime's handler
  // (KeyboardInterrupt) only while the scripts run; one that came before
  // ends the run here, with nothing left half done.
  if (releaseInterrupts()) return 1;
  loaded = loadMainModule(mainName);
  if (loaded && childMode) {
    for (const char* statement : kChildStatements) {
      (void)gRuntime.PyRun_SimpleString(statement);
    }
  }
  // Held again for the teardown: finalising and removing the work
  // directory are never cut short.
  (void)holdInterrupts();
  phaseEnd("site-and-main-script", phase);
  return 0;
}

// Exit status from the exception left pending by the scripts. Any exit
// request, with or without a code, still ends the process with 1; only
// unexpected exceptions are reported.
static int decideExitStatus() {
  if (!gRuntime.PyErr_Occurred()) return 0;
  if (gRuntime.PyErr_ExceptionMatches(*gRuntime.PyExc_SystemExit) ||
      gRuntime.PyErr_ExceptionMatches(*gRuntime.PyExc_KeyboardInterrupt)) {
    gRuntime.PyErr_Clear();
  } else {
    (void)reportPendingException();  // takes the exception over
  }
  return 1;
}

int runInterpreter(const char* exePath, char* exeDirBuffer,
                   const char* mainName, int childMode, int argc,
                   char** argv) {
  // A library that loaded but lacks what the host calls is as unusable as
  // one that did not load.
  if (!runtimeHasRequiredSymbols()) return kStatusNoRuntime;

  wchar_t* programName = nullptr;
  wchar_t* searchPath = nullptr;
  int argvReady = 1;
  // An interpreter that already runs keeps its start-up state and argv;
  // sys.path is replaced all the same.
  if (!gRuntime.Py_IsInitialized()) {
    startRuntime(exePath, &programName, &searchPath);
    argvReady = setArgv(exePath, argc, argv);
  }
  int interrupted = 0;
  if (argvReady) {
    interrupted = runScripts(exePath, exeDirBuffer, mainName, childMode);
  }

  // An interrupt ends the run as KeyboardInterrupt does: status 1.
  int status = decideExitStatus();
  if (interrupted) status = 1;
  uint64_t phase = phaseStart();
  releaseEmbeddedModules();
  gRuntime.Py_Finalize();
  phaseEnd("finalise", phase);
  // The runtime kept pointers to these until it was finalised.
  gRuntime.PyMem_RawFree(searchPath);
  gRuntime.PyMem_RawFree(programName);
  return status;
}
