#include "host/runtime.h"

#include <string.h>

#include "launcher/phase_timing.h"
#include "platform/platform.h"

RuntimeApi gRuntime;

namespace {

// One row per slot: the exported name looked up and the slot it fills.
// `required` marks what the host calls; the rest is bound for
// completeness and never called.
struct Binding {
  const char* name;
  void* slot;
  int required;
};

// The symbol name is the slot's name, so the two cannot drift apart.
#define ROW(slot, required) \
  { #slot, static_cast<void*>(&gRuntime.slot), required }

// In the historical order, the historical name beside each row that the
// 3.11 runtime exports under another name. Py_InitModule4 exists only in
// 2.7 runtimes, PyModule_AddFunctions and PyModule_SetDocString only in
// 3.x ones, so one of the two ways to make a module is always null.
const Binding kBindings[] = {
    ROW(Py_NoSiteFlag, 1),
    ROW(Py_FrozenFlag, 1),
    ROW(Py_DontWriteBytecodeFlag, 1),
    ROW(PyExc_SystemExit, 1),
    ROW(PyExc_KeyboardInterrupt, 1),
    ROW(PyExc_ImportError, 0),
    ROW(_Py_NoneStruct, 1),
    ROW(Py_IncRef, 1),
    ROW(Py_DecRef, 1),
    ROW(Py_SetProgramName, 1),
    ROW(Py_Initialize, 1),
    ROW(Py_Finalize, 1),
    ROW(Py_IsInitialized, 1),
    ROW(PyRun_SimpleString, 1),
    ROW(PyArg_ParseTuple, 1),
    ROW(Py_InitModule4, 0),
    ROW(PyEval_InitThreads, 1),
    ROW(PyEval_SaveThread, 1),
    ROW(PyEval_RestoreThread, 1),
    ROW(PyEval_AcquireThread, 0),
    ROW(PyEval_ReleaseThread, 0),
    ROW(PyGILState_Ensure, 0),
    ROW(PyGILState_Release, 0),
    ROW(PyErr_Occurred, 1),
    ROW(PyErr_Clear, 1),
    ROW(PyErr_Fetch, 1),
    ROW(PyErr_Restore, 0),
    ROW(PyErr_NormalizeException, 1),
    ROW(PyErr_ExceptionMatches, 1),
    ROW(PyErr_SetInterrupt, 0),
    ROW(PyErr_SetString, 0),
    ROW(PyModule_AddFunctions, 0),
    ROW(PyModule_SetDocString, 0),
    ROW(PyModule_AddIntConstant, 1),
    ROW(PyModule_AddStringConstant, 1),
    ROW(PyModule_AddObject, 1),
    ROW(PyImport_AddModule, 1),
    ROW(PyImport_ImportModule, 1),
    ROW(PyImport_ExecCodeModuleEx, 1),
    ROW(PyMarshal_ReadObjectFromString, 1),
    ROW(PyCallable_Check, 1),
    ROW(PyObject_GetAttrString, 1),
    ROW(PyObject_SetAttrString, 1),
    ROW(PyObject_HasAttrString, 0),
    ROW(PyObject_Str, 0),
    ROW(PyObject_CallObject, 1),
    ROW(PyObject_CallFunction, 1),
    ROW(PyObject_CallMethod, 1),
    ROW(PyUnicode_DecodeFSDefaultAndSize, 0),  // PyString_FromStringAndSize
    ROW(PyUnicode_DecodeFSDefault, 1),  // PyString_FromString
    ROW(PyUnicode_FromFormat, 0),  // PyString_FromFormat
    ROW(PyUnicode_GetLength, 0),  // PyString_Size
    ROW(PyUnicode_AsUTF8, 0),  // PyString_AsString
    ROW(PyUnicode_Append, 0),  // PyString_Concat
    ROW(PyUnicode_Format, 0),  // PyString_Format
    ROW(PyLong_FromLong, 1),
    ROW(PyLong_FromSize_t, 0),
    ROW(PyTuple_New, 1),
    ROW(PyTuple_Size, 0),
    ROW(PyTuple_GetItem, 0),
    ROW(PyTuple_SetItem, 1),
    ROW(PyList_New, 1),
    ROW(PyList_Append, 1),
    ROW(PyList_Size, 0),
    ROW(PyList_GetItem, 0),
    // Beyond the historical table.
    ROW(Py_DecodeLocale, 1),
    ROW(PyMem_RawFree, 1),
    ROW(Py_SetPath, 1),
    ROW(Py_IgnoreEnvironmentFlag, 1),
    ROW(PyCode_Type, 1),
};

#undef ROW

const int kBindingCount = sizeof kBindings / sizeof kBindings[0];
static_assert(kBindingCount == kRuntimeSlotCount + kRuntimeExtraSlotCount,
              "one row per slot");
// Every member after the handle is one pointer, so a member added without
// a row (or a row without a member) changes one side of this.
static_assert(sizeof(RuntimeApi) == (1 + kBindingCount) * sizeof(void*),
              "one member per row");

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
  for (const Binding& row : kBindings) {
    void* address = nullptr;
    memcpy(&address, row.slot, sizeof address);
    if (row.required && !address) return 0;
  }
  // A module can be made either the 2.7 way or the 3.x way.
  return gRuntime.Py_InitModule4 ||
         (gRuntime.PyModule_AddFunctions && gRuntime.PyModule_SetDocString);
}
