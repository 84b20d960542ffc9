// The runtime side of one run: binding the runtime library by name, and
// driving the interpreter from initialisation to finalisation.
#ifndef SKIFF_HOST_INTERPRETER_H_
#define SKIFF_HOST_INTERPRETER_H_

// Loads the runtime library at `libraryPath` and binds its symbols by
// name. 1 when the library loaded (missing symbols leave null slots), 0
// when it could not be loaded.
int bindRuntime(const char* libraryPath);
// Unloads the library if one is bound.
void unbindRuntime();

// With the runtime bound: starts the interpreter (program name, flags,
// sys.argv, sys.path, _tav_import), runs the embedded framework modules,
// their two hooks, site and the main script under `mainName`
// ("__main__" or "__fork__"; in child mode the multiprocessing hand-over
// follows), decides the exit status from the pending exception (reporting
// it through tav_error when it is neither SystemExit nor
// KeyboardInterrupt), releases the module references and finalises.
// `exeDirBuffer` (kPathBufferSize bytes) receives the executable's
// directory. Returns the exit status, 0 or 1 (2 when the loaded library
// lacks symbols that the host calls).
int runInterpreter(const char* exePath, char* exeDirBuffer,
                   const char* mainName, int childMode, int argc,
                   char** argv);

#endif  // SKIFF_HOST_INTERPRETER_H_
