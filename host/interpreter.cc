#include "host/interpreter.h"

#include <stdio.h>
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

// The texts handed to the runtime before it starts. Both runtimes keep
// pointers to them until they are finalised, so they live in
// runInterpreter's frame; 3.x is given wide copies (null when a
// conversion failed; the runtime then keeps its default), 2.7 the narrow
// buffers themselves.
struct StartTexts {
  char programName[kPathBufferSize];
  char initZip[kPathBufferSize];  // "" when the path does not fit
  wchar_t* wideProgramName;
  wchar_t* wideSearchPath;
};

// Where the runtime looks for the encodings package while it starts,
// before our importers exist (it looks up the locale's codec then; if the
// import fails, the codec registry stays empty for the whole run): the
// zip extracted from the modules archive, so that nothing of an installed
// Python is read.
//
// 3.x takes it as its whole search path (Py_SetPath). 2.7 has no such
// call: it computes its path from a home directory, and once a home is set
// it believes it without looking for an installation anywhere. With the
// zip itself as home, the computed path is HOME/lib/python27.zip,
// HOME/lib/python2.7, a few folders below that and
// HOME/lib/python2.7/lib-dynload; zipimport reads each of these as the zip
// with a folder inside it, so the zip's "lib/python2.7/" folder (where the
// 2.7 zip holds encodings and codecs) is on the path and the work
// directory stays flat (this is the layout of 2.7's POSIX builds; its
// Windows builds compute other folders). sys.path is replaced right after
// the start.
static void setInitialSearchPath(StartTexts* texts) {
  if (gRuntime.majorVersion == 2) {
    // An empty home would make the path relative to the current directory;
    // prepareArchives has checked that the zip's path fits, so it is set.
    if (texts->initZip[0]) gRuntime.Py_SetPythonHome(texts->initZip);
    return;
  }
  texts->wideSearchPath = gRuntime.Py_DecodeLocale(texts->initZip, nullptr);
  if (texts->wideSearchPath) gRuntime.Py_SetPath(texts->wideSearchPath);
}

// Everything the runtime must know before it starts, then the start.
static void startRuntime(const char* exePath, StartTexts* texts) {
  // The launcher is not a Python installation: neither PYTHONHOME nor the
  // user's PYTHONPATH, PYTHONIOENCODING, PYTHONSTARTUP and the like may
  // change or break a run (an unknown codec there is fatal at start).
  // Removed from the environment too, for child processes. 2.7 has the
  // same switch.
  (void)setEnv("PYTHONHOME", "");
  *gRuntime.Py_IgnoreEnvironmentFlag = 1;

  // The executable's path fits: it came from a buffer of this size.
  snprintf(texts->programName, sizeof texts->programName, "%s", exePath);
  if (gRuntime.majorVersion == 2) {
    gRuntime.Py_SetProgramName(texts->programName);
  } else {
    texts->wideProgramName = gRuntime.Py_DecodeLocale(exePath, nullptr);
    if (texts->wideProgramName) {
      gRuntime.Py_SetProgramNameWide(texts->wideProgramName);
    }
  }

  *gRuntime.Py_NoSiteFlag = kStartupFlagValue;  // the embedded site runs
  *gRuntime.Py_FrozenFlag = kStartupFlagValue;  // no path warnings
  *gRuntime.Py_DontWriteBytecodeFlag = kStartupFlagValue;

  const char* workDir = workDirPath();
  if (strlen(workDir) < sizeof texts->initZip) {
    memcpy(texts->initZip, workDir, strlen(workDir) + 1);
    if (!pathJoin(texts->initZip, sizeof texts->initZip, kInitZipName)) {
      texts->initZip[0] = '\0';
    }
  }
  setInitialSearchPath(texts);

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

  StartTexts texts;
  texts.programName[0] = '\0';
  texts.initZip[0] = '\0';
  texts.wideProgramName = nullptr;
  texts.wideSearchPath = nullptr;
  int argvReady = 1;
  // An interpreter that already runs keeps its start-up state and argv;
  // sys.path is replaced all the same.
  if (!gRuntime.Py_IsInitialized()) {
    startRuntime(exePath, &texts);
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
  // The runtime kept pointers to these until it was finalised (2.7 made
  // none: it kept the narrow buffers).
  if (gRuntime.majorVersion != 2) {
    gRuntime.PyMem_RawFree(texts.wideSearchPath);
    gRuntime.PyMem_RawFree(texts.wideProgramName);
  }
  return status;
}
