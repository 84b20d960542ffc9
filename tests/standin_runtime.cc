// A stand-in for the runtime library, for tests of the whole launcher.
// Packed into a test bin.qar under the runtime library's name, it lets a
// run pass through every start-up and teardown step without an
// interpreter, and writes down what the host asked of it.
//
// It exports the names the host binds (host/runtime.h) that one runtime
// version has, with the slot's own type: by default those of a 3.x
// runtime; compiled with SKIFF_STANDIN_PY27, those of a 2.7 runtime
// (narrow Py_SetProgramName and Py_SetPythonHome, PyString_*,
// Py_InitModule4 under its 64-bit name where size_t is wider than int).
// Each call appends one line to the file named by SKIFF_STANDIN_LOG: the
// function's name, then its arguments, texts as they are, wide texts as
// UTF-8, numbers in decimal and objects by name.
// Objects are small static records named after where they came from
// ("sys", "sys.path", "'some text'", "list#2", "tav_path.ensure_workdir"),
// so the log reads like the steps the host took. Every call succeeds;
// reference counting is only written down.
//
// SKIFF_STANDIN_RAISE=SystemExit, KeyboardInterrupt or Exception: running
// the main script (the module "__main__", or "__fork__" in child mode)
// fails with that exception pending. SKIFF_STANDIN_FAIL=NAME: running the
// module NAME fails with Exception pending. SKIFF_STANDIN_INITIALIZED=1:
// the runtime says it is initialised before Py_Initialize is called.
// Py_Initialize also notes PATH as the launcher left it.
// SKIFF_STANDIN_HOLD=NAME: Py_Initialize loads the library NAME from the
// work directory and never unloads it, as the 2.7 runtime keeps its
// extension modules loaded until the process ends (noted "held=loaded").
//
// When the library is unloaded it appends "unload" and whether the modules
// archive beside the program and the run's lock file are still open in
// this process (the host releases both only after unloading the runtime).
//
// Built twice per version: the copy compiled with
// SKIFF_STANDIN_WITHOUT_INITIALIZE lacks exactly one name the host calls,
// Py_Initialize.
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <initializer_list>
#include <string>
#include <type_traits>

#include "host/runtime.h"

#ifdef _WIN32
#include <windows.h>
#define STANDIN_EXPORT __declspec(dllexport)
#else
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef SKIFF_STANDIN_WITHOUT_INITIALIZE
#define STANDIN_EXPORT_INITIALIZE [[maybe_unused]] static
#else
#define STANDIN_EXPORT_INITIALIZE STANDIN_EXPORT
#endif

// The runtime's object, as far as the stand-in needs one: a name.
// The head every runtime object starts with (the launcher reads the type
// of a module's code), then the name the log shows.
struct PyObject {
  PySsize refcnt;
  PyObject* type;
  char name[1100];  // a path of kPathBufferSize bytes and quotes fit
};
struct PyThreadState {
  int unused;
};

namespace {

// Objects come from a ring: a run makes about a hundred, and one reused
// after a wrap-around only misnames a later log line.
PyObject gObjects[256];
size_t gNextObject;
int gListCount;
int gTupleCount;

PyObject gSystemExit = {0, nullptr, "SystemExit"};
PyObject gKeyboardInterrupt = {0, nullptr, "KeyboardInterrupt"};
PyObject gImportError = {0, nullptr, "ImportError"};
PyObject gException = {0, nullptr, "Exception"};  // any other exception
PyThreadState gThread;

PyObject* gPending;  // the exception "set" in the runtime, or null
int gInitialized;
// From Py_SetProgramName and Py_SetPath (Py_SetPythonHome on 2.7): where
// the unload check looks.
char gProgramName[1100];
char gSearchPath[1100];

PyObject* newObject(const std::string& name, PyObject* type = nullptr) {
  PyObject* object =
      &gObjects[gNextObject++ % (sizeof gObjects / sizeof gObjects[0])];
  object->type = type;
  snprintf(object->name, sizeof object->name, "%s", name.c_str());
  return object;
}

PyObject* newText(const std::string& text) {
  return newObject("'" + text + "'");
}

// UTF-8 to wide text (UTF-16 where wchar_t has 16 bits) and back; the
// launcher's paths and arguments pass through both ways.
[[maybe_unused]] std::wstring widen(const char* text) {
  std::wstring out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p) {
    unsigned long c = *p++;
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (more) c &= 0x3Fu >> more;
    for (; more > 0 && (*p & 0xC0) == 0x80; --more) c = c << 6 | (*p++ & 0x3F);
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + (c & 0x3FF);
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

std::string narrow(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p; ++p) {
    unsigned long c = static_cast<unsigned long>(*p);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && p[1]) {
      c = 0x10000 + ((c - 0xD800) << 10) +
          (static_cast<unsigned long>(*++p) - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[more] | (c >> (6 * more)));
    while (more-- > 0)
      out += static_cast<char>(0x80 | ((c >> (6 * more)) & 0x3F));
  }
  return out;
}

// How each kind of argument appears in the log.
std::string describe(const char* text) { return text ? text : "null"; }
[[maybe_unused]] std::string describe(char* text) {
  return describe(const_cast<const char*>(text));
}
[[maybe_unused]] std::string describe(const wchar_t* text) {
  return text ? narrow(text) : "null";
}
std::string describe(PyObject* object) {
  return object ? object->name : "null";
}
std::string describe(PyThreadState* thread) {
  return thread ? "thread" : "null";
}
std::string describe(PyMethodDef* methods) {
  std::string names;
  for (PyMethodDef* m = methods; m && m->name; ++m) {
    names += (names.empty() ? "" : ",") + std::string(m->name);
  }
  return names;
}
template <typename Number>
std::string describe(Number n) {
  static_assert(std::is_integral<Number>::value, "no log form for this type");
  return std::to_string(n);
}

void appendLine(const std::string& line) {
  const char* path = getenv("SKIFF_STANDIN_LOG");
  if (!path || !*path) return;
  FILE* log = fopen(path, "ab");
  if (!log) return;
  fprintf(log, "%s\n", line.c_str());
  fclose(log);
}

// One log line, written when the call returns; the call's body may add
// to it.
struct CallRecord {
  explicit CallRecord(const char* function) : line(function) {}
  ~CallRecord() { appendLine(line); }
  void note(const std::string& text) { line += " " + text; }
  template <typename... Args>
  void add(Args... args) {
    (note(describe(args)), ...);
  }
  // The arguments a format text ("(O)", "s", ...) announces.
  void addFormatted(const char* format, va_list args) {
    for (const char* f = format; f && *f; ++f) {
      if (*f == 'O') note(describe(va_arg(args, PyObject*)));
      if (*f == 's') note(describe(va_arg(args, const char*)));
      if (*f == 'i') note(describe(va_arg(args, int)));
      if (*f == 'l') note(describe(va_arg(args, long)));
    }
  }
  std::string line;
};

#define RECORD(...)            \
  CallRecord record(__func__); \
  record.add(__VA_ARGS__)

// The exception that running "__main__" leaves pending, if any.
PyObject* exceptionOfMain() {
  const char* name = getenv("SKIFF_STANDIN_RAISE");
  if (!name) return nullptr;
  for (PyObject* type : {&gSystemExit, &gKeyboardInterrupt, &gException}) {
    if (strcmp(name, type->name) == 0) return type;
  }
  return nullptr;
}

std::string directoryOf(const char* path) {
  const char* slash = strrchr(path, '/');
  const char* backslash = strrchr(path, '\\');
  if (backslash > slash) slash = backslash;
  return slash ? std::string(path, slash + 1) : std::string();
}

// Whether this process holds `path` open.
#ifdef _WIN32
bool openInThisProcess(const std::string& path) {
  // An open that shares nothing fails with a sharing violation while any
  // other handle on the file is open, whatever that handle shares.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
}
#else
bool openInThisProcess(const std::string& path) {
  char wanted[PATH_MAX];
  if (!realpath(path.c_str(), wanted)) return false;
  DIR* fds = opendir("/proc/self/fd");
  bool found = false;
  while (struct dirent* entry = fds ? readdir(fds) : nullptr) {
    char target[PATH_MAX];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    found = found || strcmp(target, wanted) == 0;
  }
  if (fds) closedir(fds);
  return found;
}
#endif

void recordUnload() {
  CallRecord record("unload");
  if (!gProgramName[0] || !gSearchPath[0]) return;
  bool archive = openInThisProcess(directoryOf(gProgramName) + "modules.qar");
  bool lock = openInThisProcess(directoryOf(gSearchPath) + "__TAV_LOCK__");
  record.note(std::string("modules.qar=") + (archive ? "open" : "closed"));
  record.note(std::string("__TAV_LOCK__=") + (lock ? "open" : "closed"));
}

}  // namespace

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) recordUnload();
  return TRUE;
}
#else
__attribute__((destructor)) static void onUnload() { recordUnload(); }
#endif

extern "C" {

STANDIN_EXPORT int Py_NoSiteFlag;
STANDIN_EXPORT int Py_FrozenFlag;
STANDIN_EXPORT int Py_DontWriteBytecodeFlag;
STANDIN_EXPORT int Py_IgnoreEnvironmentFlag;
STANDIN_EXPORT PyObject* PyExc_SystemExit = &gSystemExit;
STANDIN_EXPORT PyObject* PyExc_KeyboardInterrupt = &gKeyboardInterrupt;
STANDIN_EXPORT PyObject* PyExc_ImportError = &gImportError;
STANDIN_EXPORT PyObject _Py_NoneStruct = {0, nullptr, "None"};
STANDIN_EXPORT PyObject PyCode_Type = {0, nullptr, "code type"};

STANDIN_EXPORT void Py_IncRef(PyObject* o) { RECORD(o); }
STANDIN_EXPORT void Py_DecRef(PyObject* o) { RECORD(o); }

#ifdef SKIFF_STANDIN_PY27
STANDIN_EXPORT void Py_SetProgramName(char* name) {
  RECORD(name);
  snprintf(gProgramName, sizeof gProgramName, "%s", name);
}
STANDIN_EXPORT void Py_SetPythonHome(char* home) {
  RECORD(home);
  snprintf(gSearchPath, sizeof gSearchPath, "%s", home);
}
#else
STANDIN_EXPORT void Py_SetProgramName(const wchar_t* name) {
  RECORD(name);
  snprintf(gProgramName, sizeof gProgramName, "%s", describe(name).c_str());
}
#endif

// The settings the runtime starts with, as it would read them now.
STANDIN_EXPORT_INITIALIZE void Py_Initialize() {
  RECORD();
  record.note("Py_NoSiteFlag=" + describe(Py_NoSiteFlag));
  record.note("Py_FrozenFlag=" + describe(Py_FrozenFlag));
  record.note("Py_DontWriteBytecodeFlag=" + describe(Py_DontWriteBytecodeFlag));
  record.note("Py_IgnoreEnvironmentFlag=" + describe(Py_IgnoreEnvironmentFlag));
  const char* home = getenv("PYTHONHOME");
  record.note(std::string("PYTHONHOME=") + (home ? home : "unset"));
  const char* path = getenv("PATH");
  record.note(std::string("PATH=") + (path ? path : "unset"));
  const char* hold = getenv("SKIFF_STANDIN_HOLD");
  if (hold && *hold) {
    std::string held = directoryOf(gSearchPath) + hold;
#ifdef _WIN32
    bool loaded = LoadLibraryA(held.c_str()) != nullptr;
#else
    bool loaded = dlopen(held.c_str(), RTLD_NOW | RTLD_LOCAL) != nullptr;
#endif
    record.note(std::string("held=") + (loaded ? "loaded" : "failed"));
  }
  gInitialized = 1;
}

STANDIN_EXPORT void Py_Finalize() {
  RECORD();
  gInitialized = 0;
}
STANDIN_EXPORT int Py_IsInitialized() {
  RECORD();
  static int asked;
  const char* already = getenv("SKIFF_STANDIN_INITIALIZED");
  if (!asked++ && already && strcmp(already, "1") == 0) gInitialized = 1;
  return gInitialized;
}
STANDIN_EXPORT int PyRun_SimpleString(const char* command) {
  RECORD(command);
  return 0;
}
// Only the native module's functions parse arguments, and no script runs
// here to call them: a parse fails, so no output is left unfilled.
STANDIN_EXPORT int PyArg_ParseTuple(PyObject* args, const char* format, ...) {
  RECORD(args, format);
  return 0;
}

STANDIN_EXPORT void PyEval_InitThreads() { RECORD(); }
STANDIN_EXPORT PyThreadState* PyEval_SaveThread() {
  RECORD();
  return &gThread;
}
STANDIN_EXPORT void PyEval_RestoreThread(PyThreadState* t) { RECORD(t); }
STANDIN_EXPORT void PyEval_AcquireThread(PyThreadState* t) { RECORD(t); }
STANDIN_EXPORT void PyEval_ReleaseThread(PyThreadState* t) { RECORD(t); }
STANDIN_EXPORT int PyGILState_Ensure() {
  RECORD();
  return 0;
}
STANDIN_EXPORT void PyGILState_Release(int state) { RECORD(state); }

STANDIN_EXPORT PyObject* PyErr_Occurred() {
  RECORD();
  return gPending;
}
STANDIN_EXPORT void PyErr_Clear() {
  RECORD();
  gPending = nullptr;
}
STANDIN_EXPORT void PyErr_Fetch(PyObject** type, PyObject** value,
                                PyObject** traceback) {
  RECORD();
  *type = gPending;
  *value = gPending ? newObject("value") : nullptr;
  *traceback = gPending ? newObject("traceback") : nullptr;
  gPending = nullptr;
}
STANDIN_EXPORT void PyErr_Restore(PyObject* type, PyObject* value,
                                  PyObject* traceback) {
  RECORD(type, value, traceback);
  gPending = type;
}
STANDIN_EXPORT void PyErr_NormalizeException(PyObject** type, PyObject** value,
                                             PyObject** traceback) {
  RECORD(*type, *value, *traceback);
}
STANDIN_EXPORT int PyErr_ExceptionMatches(PyObject* type) {
  RECORD(type);
  return gPending && gPending == type;
}
STANDIN_EXPORT void PyErr_SetInterrupt() {
  RECORD();
  gPending = &gKeyboardInterrupt;
}
STANDIN_EXPORT void PyErr_SetString(PyObject* type, const char* message) {
  RECORD(type, message);
  gPending = type;
}

#ifdef SKIFF_STANDIN_PY27
#if SIZE_MAX > UINT_MAX
#define STANDIN_INIT_MODULE4 Py_InitModule4_64
#else
#define STANDIN_INIT_MODULE4 Py_InitModule4
#endif
// Logged under its table name whatever it is exported as.
STANDIN_EXPORT PyObject* STANDIN_INIT_MODULE4(const char* name,
                                              PyMethodDef* methods,
                                              const char* doc, PyObject* self,
                                              int apiVersion) {
  CallRecord record("Py_InitModule4");
  record.add(name, methods, doc, self, apiVersion);
  return newObject(name);
}
#else
STANDIN_EXPORT int PyModule_AddFunctions(PyObject* module,
                                         PyMethodDef* methods) {
  RECORD(module, methods);
  return 0;
}
STANDIN_EXPORT int PyModule_SetDocString(PyObject* module, const char* doc) {
  RECORD(module, doc);
  return 0;
}
#endif
STANDIN_EXPORT int PyModule_AddIntConstant(PyObject* module, const char* name,
                                           long value) {
  RECORD(module, name, value);
  return 0;
}
STANDIN_EXPORT int PyModule_AddStringConstant(PyObject* module,
                                              const char* name,
                                              const char* value) {
  RECORD(module, name, value);
  return 0;
}
STANDIN_EXPORT int PyModule_AddObject(PyObject* module, const char* name,
                                      PyObject* value) {
  RECORD(module, name, value);
  return 0;
}

STANDIN_EXPORT PyObject* PyImport_AddModule(const char* name) {
  RECORD(name);
  return newObject(name);
}
STANDIN_EXPORT PyObject* PyImport_ImportModule(const char* name) {
  RECORD(name);
  return newObject(name);
}
STANDIN_EXPORT PyObject* PyImport_ExecCodeModuleEx(const char* name,
                                                   PyObject* code,
                                                   const char* file) {
  RECORD(name, code, file);
  int isMain = strcmp(name, "__main__") == 0 || strcmp(name, "__fork__") == 0;
  if (isMain && (gPending = exceptionOfMain())) {
    return nullptr;  // the script ended with an exception
  }
  const char* failing = getenv("SKIFF_STANDIN_FAIL");
  if (failing && strcmp(name, failing) == 0) {
    gPending = &gException;
    return nullptr;
  }
  return newObject(name);
}
// The bytes are marshal data, not text: only their length is written.
STANDIN_EXPORT PyObject* PyMarshal_ReadObjectFromString(const char*,
                                                        PySsize size) {
  RECORD(size);
  return newObject("code", &PyCode_Type);
}

STANDIN_EXPORT int PyCallable_Check(PyObject* o) {
  RECORD(o);
  return 1;
}
STANDIN_EXPORT PyObject* PyObject_GetAttrString(PyObject* o, const char* name) {
  RECORD(o, name);
  return newObject(describe(o) + "." + name);
}
STANDIN_EXPORT int PyObject_SetAttrString(PyObject* o, const char* name,
                                          PyObject* value) {
  RECORD(o, name, value);
  return 0;
}
STANDIN_EXPORT int PyObject_HasAttrString(PyObject* o, const char* name) {
  RECORD(o, name);
  return 1;
}
STANDIN_EXPORT PyObject* PyObject_Str(PyObject* o) {
  RECORD(o);
  return newText(describe(o));
}
STANDIN_EXPORT PyObject* PyObject_CallObject(PyObject* callable,
                                             PyObject* args) {
  RECORD(callable, args);
  return newObject(describe(callable) + "()");
}
STANDIN_EXPORT PyObject* PyObject_CallFunction(PyObject* callable,
                                               const char* format, ...) {
  RECORD(callable, format);
  va_list args;
  va_start(args, format);
  record.addFormatted(format, args);
  va_end(args);
  return newObject(describe(callable) + "()");
}
STANDIN_EXPORT PyObject* PyObject_CallMethod(PyObject* o, const char* name,
                                             const char* format, ...) {
  RECORD(o, name, format);
  va_list args;
  va_start(args, format);
  record.addFormatted(format, args);
  va_end(args);
  return newObject(describe(o) + "." + name + "()");
}

#ifdef SKIFF_STANDIN_PY27
STANDIN_EXPORT PyObject* PyString_FromStringAndSize(const char* text,
                                                    PySsize size) {
  std::string value(text, static_cast<size_t>(size));
  RECORD(value.c_str(), size);
  return newText(value);
}
STANDIN_EXPORT PyObject* PyString_FromString(const char* text) {
  RECORD(text);
  return newText(text);
}
STANDIN_EXPORT PyObject* PyString_FromFormat(const char* format, ...) {
  RECORD(format);
  return newText(format);
}
STANDIN_EXPORT PySsize PyString_Size(PyObject* o) {
  RECORD(o);
  return static_cast<PySsize>(describe(o).size());
}
STANDIN_EXPORT char* PyString_AsString(PyObject* o) {
  RECORD(o);
  return o ? o->name : nullptr;
}
STANDIN_EXPORT void PyString_Concat(PyObject** left, PyObject* right) {
  RECORD(*left, right);
}
STANDIN_EXPORT PyObject* PyString_Format(PyObject* format, PyObject* args) {
  RECORD(format, args);
  return newText(describe(format));
}
#else
STANDIN_EXPORT PyObject* PyUnicode_DecodeFSDefaultAndSize(const char* text,
                                                          PySsize size) {
  std::string value(text, static_cast<size_t>(size));
  RECORD(value.c_str(), size);
  return newText(value);
}
STANDIN_EXPORT PyObject* PyUnicode_DecodeFSDefault(const char* text) {
  RECORD(text);
  return newText(text);
}
STANDIN_EXPORT PyObject* PyUnicode_FromFormat(const char* format, ...) {
  RECORD(format);
  return newText(format);
}
STANDIN_EXPORT PySsize PyUnicode_GetLength(PyObject* o) {
  RECORD(o);
  return static_cast<PySsize>(describe(o).size());
}
STANDIN_EXPORT const char* PyUnicode_AsUTF8(PyObject* o) {
  RECORD(o);
  return o ? o->name : nullptr;
}
STANDIN_EXPORT void PyUnicode_Append(PyObject** left, PyObject* right) {
  RECORD(*left, right);
}
STANDIN_EXPORT PyObject* PyUnicode_Format(PyObject* format, PyObject* args) {
  RECORD(format, args);
  return newText(describe(format));
}

#endif

STANDIN_EXPORT PyObject* PyLong_FromLong(long n) {
  RECORD(n);
  return newObject(describe(n));
}
STANDIN_EXPORT PyObject* PyLong_FromSize_t(size_t n) {
  RECORD(n);
  return newObject(describe(n));
}
STANDIN_EXPORT PyObject* PyTuple_New(PySsize size) {
  RECORD(size);
  return newObject("tuple#" + describe(++gTupleCount));
}
STANDIN_EXPORT PySsize PyTuple_Size(PyObject* t) {
  RECORD(t);
  return 0;
}
STANDIN_EXPORT PyObject* PyTuple_GetItem(PyObject* t, PySsize i) {
  RECORD(t, i);
  return &_Py_NoneStruct;
}
STANDIN_EXPORT int PyTuple_SetItem(PyObject* t, PySsize i, PyObject* item) {
  RECORD(t, i, item);
  return 0;
}
STANDIN_EXPORT PyObject* PyList_New(PySsize size) {
  RECORD(size);
  return newObject("list#" + describe(++gListCount));
}
STANDIN_EXPORT int PyList_Append(PyObject* list, PyObject* item) {
  RECORD(list, item);
  return 0;
}
STANDIN_EXPORT PySsize PyList_Size(PyObject* list) {
  RECORD(list);
  return 0;
}
STANDIN_EXPORT PyObject* PyList_GetItem(PyObject* list, PySsize i) {
  RECORD(list, i);
  return &_Py_NoneStruct;
}

#ifndef SKIFF_STANDIN_PY27
STANDIN_EXPORT wchar_t* Py_DecodeLocale(const char* text, size_t* size) {
  RECORD(text);
  std::wstring wide = widen(text);
  wchar_t* copy =
      static_cast<wchar_t*>(malloc((wide.size() + 1) * sizeof(wchar_t)));
  if (copy) memcpy(copy, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
  if (size) *size = wide.size();
  return copy;
}
// The host frees only what Py_DecodeLocale gave it: wide text.
STANDIN_EXPORT void PyMem_RawFree(void* block) {
  RECORD(static_cast<const wchar_t*>(block));
  free(block);
}
STANDIN_EXPORT void Py_SetPath(const wchar_t* path) {
  RECORD(path);
  snprintf(gSearchPath, sizeof gSearchPath, "%s", describe(path).c_str());
}

#endif

}  // extern "C"

// Each export has its slot's type; the names both versions export, and
// those of each version alone, fill the record with the handle, the
// version and the two slots exported under another name
// (Py_InitModule4 and Py_SetProgramNameWide).
// clang-format off
#define STANDIN_COMMON_NAMES(X)                                           \
  X(Py_NoSiteFlag) X(Py_FrozenFlag) X(Py_DontWriteBytecodeFlag)           \
  X(PyExc_SystemExit) X(PyExc_KeyboardInterrupt) X(PyExc_ImportError)     \
  X(_Py_NoneStruct) X(Py_IncRef) X(Py_DecRef)                             \
  X(Py_Initialize) X(Py_Finalize) X(Py_IsInitialized)                     \
  X(PyRun_SimpleString) X(PyArg_ParseTuple) X(PyEval_InitThreads)         \
  X(PyEval_SaveThread) X(PyEval_RestoreThread) X(PyEval_AcquireThread)    \
  X(PyEval_ReleaseThread) X(PyGILState_Ensure) X(PyGILState_Release)      \
  X(PyErr_Occurred) X(PyErr_Clear) X(PyErr_Fetch) X(PyErr_Restore)        \
  X(PyErr_NormalizeException) X(PyErr_ExceptionMatches)                   \
  X(PyErr_SetInterrupt) X(PyErr_SetString)                                \
  X(PyModule_AddIntConstant)                                              \
  X(PyModule_AddStringConstant) X(PyModule_AddObject)                     \
  X(PyImport_AddModule) X(PyImport_ImportModule)                          \
  X(PyImport_ExecCodeModuleEx) X(PyMarshal_ReadObjectFromString)          \
  X(PyCallable_Check) X(PyObject_GetAttrString) X(PyObject_SetAttrString) \
  X(PyObject_HasAttrString) X(PyObject_Str) X(PyObject_CallObject)        \
  X(PyObject_CallFunction) X(PyObject_CallMethod)                         \
  X(PyLong_FromLong)                                                      \
  X(PyLong_FromSize_t) X(PyTuple_New) X(PyTuple_Size) X(PyTuple_GetItem)  \
  X(PyTuple_SetItem) X(PyList_New) X(PyList_Append) X(PyList_Size)        \
  X(PyList_GetItem) X(Py_IgnoreEnvironmentFlag) X(PyCode_Type)
#define STANDIN_PY27_NAMES(X)                                             \
  X(Py_SetProgramName) X(Py_SetPythonHome)                                \
  X(PyString_FromStringAndSize) X(PyString_FromString)                    \
  X(PyString_FromFormat) X(PyString_Size) X(PyString_AsString)            \
  X(PyString_Concat) X(PyString_Format)
#define STANDIN_PY3_NAMES(X)                                              \
  X(PyModule_AddFunctions) X(PyModule_SetDocString)                       \
  X(PyUnicode_DecodeFSDefaultAndSize) X(PyUnicode_DecodeFSDefault)        \
  X(PyUnicode_FromFormat) X(PyUnicode_GetLength) X(PyUnicode_AsUTF8)      \
  X(PyUnicode_Append) X(PyUnicode_Format)                                 \
  X(Py_DecodeLocale) X(PyMem_RawFree) X(Py_SetPath)
// clang-format on

#define STANDIN_SLOT_TYPE(name)                                        \
  static_assert(                                                       \
      std::is_same<decltype(&name), decltype(RuntimeApi::name)>::value, \
      #name " has its slot's type");
STANDIN_COMMON_NAMES(STANDIN_SLOT_TYPE)
#ifdef SKIFF_STANDIN_PY27
STANDIN_PY27_NAMES(STANDIN_SLOT_TYPE)
static_assert(std::is_same<decltype(&STANDIN_INIT_MODULE4),
                           decltype(RuntimeApi::Py_InitModule4)>::value,
              "Py_InitModule4 has its slot's type");
#else
STANDIN_PY3_NAMES(STANDIN_SLOT_TYPE)
static_assert(std::is_same<decltype(&Py_SetProgramName),
                           decltype(RuntimeApi::Py_SetProgramNameWide)>::value,
              "Py_SetProgramName has the wide slot's type");
#endif

#define STANDIN_COUNT(name) +1
static_assert(sizeof(RuntimeApi) / sizeof(void*) ==
                  2 + 2 +
                      (0 STANDIN_COMMON_NAMES(STANDIN_COUNT)
                           STANDIN_PY27_NAMES(STANDIN_COUNT)
                               STANDIN_PY3_NAMES(STANDIN_COUNT)),
              "the handle, the version, the two renamed slots and one "
              "name per other slot");
