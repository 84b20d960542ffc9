// The runtime side of one run: driving the interpreter from
// initialisation to finalisation, once the runtime is bound (runtime.h).
#ifndef SKIFF_HOST_INTERPRETER_H_
#define SKIFF_HOST_INTERPRETER_H_

// Exit statuses of the steps before the scripts run (theirs are 0, and 1
// for an exception or exit request pending at the end):
//   kStatusPrepareFailed  no work directory could be made, or the archives
//                         beside the executable are missing or damaged
//                         (a "# Error: " line says which)
//   kStatusNoRuntime      the runtime library did not load, or loaded but
//                         lacks what the host calls
const int kStatusPrepareFailed = 1;
const int kStatusNoRuntime = 2;

// With the runtime bound: starts the interpreter (program name, flags,
// sys.argv, sys.path, _tav_import), runs the embedded framework modules,
// their two hooks, site and the main script under `mainName`
// ("__main__" or "__fork__"; in child mode the multiprocessing hand-over
// follows), decides the exit status from the pending exception (reporting
// it through tav_error when it is neither SystemExit nor
// KeyboardInterrupt), releases the module references and finalises.
// Interrupts held back by the caller (holdInterrupts) are let through
// only while site and the main script run: one that came earlier ends
// the run with status 1 before they start, and they are held again for
// the teardown.
// `exeDirBuffer` (kPathBufferSize bytes) receives the executable's
// directory. Returns the exit status, 0 or 1 (2 when the loaded library
// lacks symbols that the host calls).
int runInterpreter(const char* exePath, char* exeDirBuffer,
                   const char* mainName, int childMode, int argc,
                   char** argv);

#endif  // SKIFF_HOST_INTERPRETER_H_
