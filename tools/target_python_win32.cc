// The Windows runtime's own interpreter for the build tools: a console
// program that loads python27.dll from the folder SKIFF_TARGET_HOME names
// (a Windows runtime built by tools/build-win32-runtime.sh), makes that
// folder the runtime's home and hands its command line to the runtime's
// Py_Main, as python.exe does. The Windows build runs it under wine
// (cmake/win32_target.cmake) to compile the embedded modules and the
// archives' code and to record the module closure with the runtime that
// the program ships: a Linux 2.7 would record posixpath where Windows
// needs ntpath.
//
// The home is set by the call, not by PYTHONHOME, so the tools' -E (no
// environment) keeps it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

typedef void (*SetTextFn)(char*);
typedef int (*MainFn)(int, char**);

int main(int argc, char** argv) {
  static char home[MAX_PATH];
  static char library[MAX_PATH];
  const char* given = std::getenv("SKIFF_TARGET_HOME");
  if (!given || !given[0] || std::strlen(given) + 14 >= sizeof(home)) {
    std::fprintf(stderr,
                 "target_python: SKIFF_TARGET_HOME must name the folder of "
                 "python27.dll\n");
    return 125;
  }
  std::strcpy(home, given);
  std::snprintf(library, sizeof(library), "%s\\python27.dll", home);
  // The DLLs beside it (OpenSSL's, which M2Crypto's extension module
  // imports) are found as the launcher finds them in its work directory.
  SetDllDirectoryA(home);
  HMODULE runtime = LoadLibraryA(library);
  if (!runtime) {
    std::fprintf(stderr, "target_python: cannot load %s (error %lu)\n",
                 library, GetLastError());
    return 125;
  }
  SetTextFn setHome = reinterpret_cast<SetTextFn>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "Py_SetPythonHome")));
  SetTextFn setName = reinterpret_cast<SetTextFn>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "Py_SetProgramName")));
  MainFn pyMain = reinterpret_cast<MainFn>(
      reinterpret_cast<void*>(GetProcAddress(runtime, "Py_Main")));
  if (!setHome || !setName || !pyMain) {
    std::fprintf(stderr, "target_python: %s lacks Py_Main\n", library);
    FreeLibrary(runtime);
    return 125;
  }
  setHome(home);
  setName(argv[0]);
  // The runtime stays loaded until the process ends: Py_Main may leave
  // threads and extension modules behind.
  return pyMain(argc, argv);
}
