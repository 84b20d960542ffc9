#include "host/runtime.h"

#include <string.h>

#include "host/interpreter.h"
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

#define SLOT(member) static_cast<void*>(&gRuntime.member)

// In the historical order. The PyString_* rows and the two PyModule_*
// rows name the 3.x functions that play those roles; Py_InitModule4
// exists only in 2.7 runtimes, PyModule_AddFunctions and
// PyModule_SetDocString only in 3.x ones, so one of the two ways to make
// a module is always null.
const Binding kBindings[] = {
    {"Py_NoSiteFlag", SLOT(Py_NoSiteFlag), 1},
    {"Py_FrozenFlag", SLOT(Py_FrozenFlag), 1},
    {"Py_DontWriteBytecodeFlag", SLOT(Py_DontWriteBytecodeFlag), 1},
    {"PyExc_SystemExit", SLOT(PyExc_SystemExit), 1},
    {"PyExc_KeyboardInterrupt", SLOT(PyExc_KeyboardInterrupt), 1},
    {"PyExc_ImportError", SLOT(PyExc_ImportError), 0},
    {"_Py_NoneStruct", SLOT(_Py_NoneStruct), 1},
    {"Py_IncRef", SLOT(Py_IncRef), 1},
    {"Py_DecRef", SLOT(Py_DecRef), 1},
    {"Py_SetProgramName", SLOT(Py_SetProgramName), 1},
    {"Py_Initialize", SLOT(Py_Initialize), 1},
    {"Py_Finalize", SLOT(Py_Finalize), 1},
    {"Py_IsInitialized", SLOT(Py_IsInitialized), 1},
    {"PyRun_SimpleString", SLOT(PyRun_SimpleString), 1},
    {"PyArg_ParseTuple", SLOT(PyArg_ParseTuple), 1},
    {"Py_InitModule4", SLOT(Py_InitModule4), 0},
    {"PyEval_InitThreads", SLOT(PyEval_InitThreads), 1},
    {"PyEval_SaveThread", SLOT(PyEval_SaveThread), 1},
    {"PyEval_RestoreThread", SLOT(PyEval_RestoreThread), 1},
    {"PyEval_AcquireThread", SLOT(PyEval_AcquireThread), 0},
    {"PyEval_ReleaseThread", SLOT(PyEval_ReleaseThread), 0},
    {"PyGILState_Ensure", SLOT(PyGILState_Ensure), 0},
    {"PyGILState_Release", SLOT(PyGILState_Release), 0},
    {"PyErr_Occurred", SLOT(PyErr_Occurred), 1},
    {"PyErr_Clear", SLOT(PyErr_Clear), 1},
    {"PyErr_Fetch", SLOT(PyErr_Fetch), 1},
    {"PyErr_Restore", SLOT(PyErr_Restore), 0},
    {"PyErr_NormalizeException", SLOT(PyErr_NormalizeException), 1},
    {"PyErr_ExceptionMatches", SLOT(PyErr_ExceptionMatches), 1},
    {"PyErr_SetInterrupt", SLOT(PyErr_SetInterrupt), 0},
    {"PyErr_SetString", SLOT(PyErr_SetString), 0},
    {"PyModule_AddFunctions", SLOT(PyModule_AddFunctions), 0},
    {"PyModule_SetDocString", SLOT(PyModule_SetDocString), 0},
    {"PyModule_AddIntConstant", SLOT(PyModule_AddIntConstant), 1},
    {"PyModule_AddStringConstant", SLOT(PyModule_AddStringConstant), 1},
    {"PyModule_AddObject", SLOT(PyModule_AddObject), 1},
    {"PyImport_AddModule", SLOT(PyImport_AddModule), 1},
    {"PyImport_ImportModule", SLOT(PyImport_ImportModule), 1},
    {"PyImport_ExecCodeModuleEx", SLOT(PyImport_ExecCodeModuleEx), 1},
    {"PyMarshal_ReadObjectFromString", SLOT(PyMarshal_ReadObjectFromString),
     1},
    {"PyCallable_Check", SLOT(PyCallable_Check), 1},
    {"PyObject_GetAttrString", SLOT(PyObject_GetAttrString), 1},
    {"PyObject_SetAttrString", SLOT(PyObject_SetAttrString), 1},
    {"PyObject_HasAttrString", SLOT(PyObject_HasAttrString), 0},
    {"PyObject_Str", SLOT(PyObject_Str), 0},
    {"PyObject_CallObject", SLOT(PyObject_CallObject), 1},
    {"PyObject_CallFunction", SLOT(PyObject_CallFunction), 1},
    {"PyObject_CallMethod", SLOT(PyObject_CallMethod), 1},
    {"PyUnicode_DecodeFSDefaultAndSize", SLOT(PyString_FromStringAndSize), 0},
    {"PyUnicode_DecodeFSDefault", SLOT(PyString_FromString), 1},
    {"PyUnicode_FromFormat", SLOT(PyString_FromFormat), 0},
    {"PyUnicode_GetLength", SLOT(PyString_Size), 0},
    {"PyUnicode_AsUTF8", SLOT(PyString_AsString), 0},
    {"PyUnicode_Append", SLOT(PyString_Concat), 0},
    {"PyUnicode_Format", SLOT(PyString_Format), 0},
    {"PyLong_FromLong", SLOT(PyLong_FromLong), 1},
    {"PyLong_FromSize_t", SLOT(PyLong_FromSize_t), 0},
    {"PyTuple_New", SLOT(PyTuple_New), 1},
    {"PyTuple_Size", SLOT(PyTuple_Size), 0},
    {"PyTuple_GetItem", SLOT(PyTuple_GetItem), 0},
    {"PyTuple_SetItem", SLOT(PyTuple_SetItem), 1},
    {"PyList_New", SLOT(PyList_New), 1},
    {"PyList_Append", SLOT(PyList_Append), 1},
    {"PyList_Size", SLOT(PyList_Size), 0},
    {"PyList_GetItem", SLOT(PyList_GetItem), 0},
    // Beyond the historical table.
    {"Py_DecodeLocale", SLOT(Py_DecodeLocale), 1},
    {"PyMem_RawFree", SLOT(PyMem_RawFree), 1},
    {"Py_SetPath", SLOT(Py_SetPath), 1},
    {"Py_IgnoreEnvironmentFlag", SLOT(Py_IgnoreEnvironmentFlag), 1},
};

#undef SLOT

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
