#include "host/runtime.h"

#include <stddef.h>
#include <string.h>

#include "launcher/phase_timing.h"
#include "platform/platform.h"

RuntimeApi gRuntime;

namespace {

// Which runtimes a row concerns, as a mask of major versions.
const int kOn2 = 1;
const int kOn3 = 2;
const int kOnBoth = kOn2 | kOn3;

int versionBit(int majorVersion) {
  return majorVersion == 2 ? kOn2 : majorVersion == 3 ? kOn3 : 0;
}

// One row per slot: the exported name looked up, the slot it fills, and
// the runtimes on which the host calls it (0: bound for completeness and
// never called).
struct Binding {
  const char* name;
  void* slot;
  int requiredOn;
};

// The symbol name is the slot's name, so the two cannot drift apart;
// NAMED_ROW is for the two slots whose name is spelt otherwise.
#define ROW(slot, requiredOn) \
  { #slot, static_cast<void*>(&gRuntime.slot), requiredOn }
#define NAMED_ROW(name, slot, requiredOn) \
  { name, static_cast<void*>(&gRuntime.slot), requiredOn }

// 2.7 renames Py_InitModule4 where size_t is wider than int, so that an
// extension built for the other width fails to load instead of crashing.
const char* const kInitModule4Name =
    sizeof(size_t) != sizeof(int) ? "Py_InitModule4_64" : "Py_InitModule4";

// The 2.7 table in its order, then what a 3.x runtime needs instead. 2.7
// makes a module with Py_InitModule4, 3.x with PyModule_AddFunctions and
// PyModule_SetDocString, so one of the two ways is always null.
const Binding kBindings[] = {
    ROW(Py_NoSiteFlag, kOnBoth),
    ROW(Py_FrozenFlag, kOnBoth),
    ROW(Py_DontWriteBytecodeFlag, kOnBoth),
    ROW(PyExc_SystemExit, kOnBoth),
    ROW(PyExc_KeyboardInterrupt, kOnBoth),
    ROW(PyExc_ImportError, 0),
    ROW(_Py_NoneStruct, kOnBoth),
    ROW(Py_IncRef, kOnBoth),
    ROW(Py_DecRef, kOnBoth),
    ROW(Py_SetProgramName, kOn2),
    ROW(Py_Initialize, kOnBoth),
    ROW(Py_Finalize, kOnBoth),
    ROW(Py_IsInitialized, kOnBoth),
    ROW(PyRun_SimpleString, kOnBoth),
    ROW(PyArg_ParseTuple, kOnBoth),
    NAMED_ROW(kInitModule4Name, Py_InitModule4, kOn2),
    ROW(PyEval_InitThreads, kOnBoth),
    ROW(PyEval_SaveThread, kOnBoth),
    ROW(PyEval_RestoreThread, kOnBoth),
    ROW(PyEval_AcquireThread, 0),
    ROW(PyEval_ReleaseThread, 0),
    ROW(PyGILState_Ensure, 0),
    ROW(PyGILState_Release, 0),
    ROW(PyErr_Occurred, kOnBoth),
    ROW(PyErr_Clear, kOnBoth),
    ROW(PyErr_Fetch, kOnBoth),
    ROW(PyErr_Restore, 0),
    ROW(PyErr_NormalizeException, kOnBoth),
    ROW(PyErr_ExceptionMatches, kOnBoth),
    ROW(PyErr_SetInterrupt, 0),
    ROW(PyErr_SetString, 0),
    ROW(PyModule_AddFunctions, kOn3),
    ROW(PyModule_SetDocString, kOn3),
    ROW(PyModule_AddIntConstant, kOnBoth),
    ROW(PyModule_AddStringConstant, kOnBoth),
    ROW(PyModule_AddObject, kOnBoth),
    ROW(PyImport_AddModule, kOnBoth),
    ROW(PyImport_ImportModule, kOnBoth),
    ROW(PyImport_ExecCodeModuleEx, kOnBoth),
    ROW(PyMarshal_ReadObjectFromString, kOnBoth),
    ROW(PyCallable_Check, kOnBoth),
    ROW(PyObject_GetAttrString, kOnBoth),
    ROW(PyObject_SetAttrString, kOnBoth),
    ROW(PyObject_HasAttrString, 0),
    ROW(PyObject_Str, 0),
    ROW(PyObject_CallObject, kOnBoth),
    ROW(PyObject_CallFunction, kOnBoth),
    ROW(PyObject_CallMethod, kOnBoth),
    ROW(PyString_FromStringAndSize, 0),
    ROW(PyString_FromString, kOn2),
    ROW(PyString_FromFormat, 0),
    ROW(PyString_Size, 0),
    ROW(PyString_AsString, 0),
    ROW(PyString_Concat, 0),
    ROW(PyString_Format, 0),
    ROW(PyLong_FromLong, kOnBoth),
    ROW(PyLong_FromSize_t, 0),
    ROW(PyTuple_New, kOnBoth),
    ROW(PyTuple_Size, 0),
    ROW(PyTuple_GetItem, 0),
    ROW(PyTuple_SetItem, kOnBoth),
    ROW(PyList_New, kOnBoth),
    ROW(PyList_Append, kOnBoth),
    ROW(PyList_Size, 0),
    ROW(PyList_GetItem, 0),
    // Beyond the table: both, then 2.7, then 3.x.
    ROW(Py_IgnoreEnvironmentFlag, kOnBoth),
    ROW(PyCode_Type, kOnBoth),
    ROW(Py_SetPythonHome, kOn2),
    NAMED_ROW("Py_SetProgramName", Py_SetProgramNameWide, kOn3),
    ROW(Py_DecodeLocale, kOn3),
    ROW(PyMem_RawFree, kOn3),
    ROW(Py_SetPath, kOn3),
    ROW(PyUnicode_DecodeFSDefaultAndSize, 0),
    ROW(PyUnicode_DecodeFSDefault, kOn3),
    ROW(PyUnicode_FromFormat, 0),
    ROW(PyUnicode_GetLength, 0),
    ROW(PyUnicode_AsUTF8, 0),
    ROW(PyUnicode_Append, 0),
    ROW(PyUnicode_Format, 0),
};

#undef ROW
#undef NAMED_ROW

const int kBindingCount = sizeof kBindings / sizeof kBindings[0];
static_assert(kBindingCount == kRuntimeSlotCount + kRuntimeExtraSlotCount,
              "one row per slot");
// Every member after the version is one pointer, so a member added
// without a row (or a row without a member) changes one side of this.
static_assert(sizeof(RuntimeApi) == offsetof(RuntimeApi, Py_NoSiteFlag) +
                                        kBindingCount * sizeof(void*),
              "one member per row");

// The major version from the text functions the library exports: every
// 2.x runtime has PyString_FromString and no 3.x runtime has; every 3.x
// runtime has PyUnicode_DecodeFSDefault and no 2.x runtime has. Names
// rather than Py_GetVersion: nothing of the library runs before the
// interpreter is set up, and a library with both or neither is no runtime
// the host knows (0).
int decideMajorVersion() {
  int has2 = gRuntime.PyString_FromString != nullptr;
  int has3 = gRuntime.PyUnicode_DecodeFSDefault != nullptr;
  if (has2 == has3) return 0;
  return has2 ? 2 : 3;
}

}  // namespace

int bindRuntime(const char* libraryPath) {
  uint64_t phase = phaseStart();
  void* library = loadLibrary(libraryPath);
  if (!library) return 0;  // the slots keep whatever they held
  gRuntime.library = library;
  for (const Binding& row : kBindings) {
    void* address = findSymbol(library, row.name);
    // Function and data addresses alike go into their typed slot as raw
    // bytes; an absent name leaves the slot null.
    memcpy(row.slot, &address, sizeof address);
  }
  gRuntime.majorVersion = decideMajorVersion();
  phaseEnd("load-runtime", phase);
  return 1;
}

void unbindRuntime() {
  if (gRuntime.library) unloadLibrary(gRuntime.library);
  gRuntime.library = nullptr;
}

// The head of every runtime object.
struct PyObjectHead {
  PySsize refcnt;
  PyObject* type;
};

int isCodeObject(PyObject* object) {
  if (!object || !gRuntime.PyCode_Type) return 0;
  PyObjectHead head;
  memcpy(&head, object, sizeof head);
  return head.type == gRuntime.PyCode_Type;
}

int runtimeHasRequiredSymbols() {
  int version = versionBit(gRuntime.majorVersion);
  if (!version) return 0;
  for (const Binding& row : kBindings) {
    void* address = nullptr;
    memcpy(&address, row.slot, sizeof address);
    if ((row.requiredOn & version) && !address) return 0;
  }
  return 1;
}

PyObject* newNativeText(const char* text) {
  if (gRuntime.majorVersion == 2) return gRuntime.PyString_FromString(text);
  return gRuntime.PyUnicode_DecodeFSDefault(text);
}
