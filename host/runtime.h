// The process-wide binding to the runtime library (libpython3.11 here),
// loaded at run time and bound by symbol name. Every native part of the
// host reaches the interpreter only through gRuntime; the launcher never
// links the runtime and never includes its headers: in 3.x Py_INCREF and
// friends are inline code touching runtime internals, so the few types
// the host needs are declared here instead.
//
// bindRuntime and unbindRuntime (below) fill and empty it.
#ifndef SKIFF_HOST_RUNTIME_H_
#define SKIFF_HOST_RUNTIME_H_

#include <stddef.h>
#include <wchar.h>

// Opaque runtime objects; the host never looks inside them.
struct PyObject;
struct PyThreadState;

// Py_ssize_t: the runtime's signed size type, pointer-sized.
typedef ptrdiff_t PySsize;

typedef PyObject* (*PyCFunction)(PyObject* self, PyObject* args);

// Layout of the runtime's method table row (stable across 2.x and 3.x).
struct PyMethodDef {
  const char* name;
  PyCFunction method;
  int flags;
  const char* doc;
};
const int kMethVarargs = 0x0001;  // METH_VARARGS: arguments as one tuple

// API version passed to Py_InitModule4 (2.7 runtimes only).
const int kPythonApiVersion = 1013;

// One slot per bound symbol, named after the function it holds in a 3.11
// runtime. The first 65 rows of the binding table (runtime.cc) keep their
// historical order; where the historical 2.7 name differs (the text
// functions, which were PyString_* there), it stands beside the row. Every
// member is pointer-sized: runtime.cc checks that the table has one row
// per member.
struct RuntimeApi {
  void* library;  // handle from loadLibrary, null while unbound

  // Data: the address of the runtime's variable or object.
  int* Py_NoSiteFlag;
  int* Py_FrozenFlag;
  int* Py_DontWriteBytecodeFlag;
  PyObject** PyExc_SystemExit;  // read through at the moment of use
  PyObject** PyExc_KeyboardInterrupt;
  PyObject** PyExc_ImportError;
  PyObject* _Py_NoneStruct;  // the None object itself

  void (*Py_IncRef)(PyObject*);
  void (*Py_DecRef)(PyObject*);
  void (*Py_SetProgramName)(const wchar_t*);
  void (*Py_Initialize)();
  void (*Py_Finalize)();
  int (*Py_IsInitialized)();
  int (*PyRun_SimpleString)(const char*);
  int (*PyArg_ParseTuple)(PyObject*, const char*, ...);
  PyObject* (*Py_InitModule4)(const char*, PyMethodDef*, const char*,
                              PyObject*, int);  // null on 3.x
  void (*PyEval_InitThreads)();
  PyThreadState* (*PyEval_SaveThread)();
  void (*PyEval_RestoreThread)(PyThreadState*);
  void (*PyEval_AcquireThread)(PyThreadState*);
  void (*PyEval_ReleaseThread)(PyThreadState*);
  int (*PyGILState_Ensure)();
  void (*PyGILState_Release)(int);
  PyObject* (*PyErr_Occurred)();
  void (*PyErr_Clear)();
  void (*PyErr_Fetch)(PyObject**, PyObject**, PyObject**);
  void (*PyErr_Restore)(PyObject*, PyObject*, PyObject*);
  void (*PyErr_NormalizeException)(PyObject**, PyObject**, PyObject**);
  int (*PyErr_ExceptionMatches)(PyObject*);
  void (*PyErr_SetInterrupt)();
  void (*PyErr_SetString)(PyObject*, const char*);
  int (*PyModule_AddFunctions)(PyObject*, PyMethodDef*);  // null on 2.7
  int (*PyModule_SetDocString)(PyObject*, const char*);   // null on 2.7
  int (*PyModule_AddIntConstant)(PyObject*, const char*, long);
  int (*PyModule_AddStringConstant)(PyObject*, const char*, const char*);
  int (*PyModule_AddObject)(PyObject*, const char*, PyObject*);
  PyObject* (*PyImport_AddModule)(const char*);
  PyObject* (*PyImport_ImportModule)(const char*);
  PyObject* (*PyImport_ExecCodeModuleEx)(const char*, PyObject*, const char*);
  PyObject* (*PyMarshal_ReadObjectFromString)(const char*, PySsize);
  int (*PyCallable_Check)(PyObject*);
  PyObject* (*PyObject_GetAttrString)(PyObject*, const char*);
  int (*PyObject_SetAttrString)(PyObject*, const char*, PyObject*);
  int (*PyObject_HasAttrString)(PyObject*, const char*);
  PyObject* (*PyObject_Str)(PyObject*);
  PyObject* (*PyObject_CallObject)(PyObject*, PyObject*);
  PyObject* (*PyObject_CallFunction)(PyObject*, const char*, ...);
  PyObject* (*PyObject_CallMethod)(PyObject*, const char*, const char*, ...);
  // Native text (argv, paths) as the runtime's text type, decoded with
  // the file-system encoding so undecodable bytes survive.
  PyObject* (*PyUnicode_DecodeFSDefaultAndSize)(const char*, PySsize);
  PyObject* (*PyUnicode_DecodeFSDefault)(const char*);
  PyObject* (*PyUnicode_FromFormat)(const char*, ...);
  PySsize (*PyUnicode_GetLength)(PyObject*);
  const char* (*PyUnicode_AsUTF8)(PyObject*);
  void (*PyUnicode_Append)(PyObject**, PyObject*);
  PyObject* (*PyUnicode_Format)(PyObject*, PyObject*);
  PyObject* (*PyLong_FromLong)(long);
  PyObject* (*PyLong_FromSize_t)(size_t);
  PyObject* (*PyTuple_New)(PySsize);
  PySsize (*PyTuple_Size)(PyObject*);
  PyObject* (*PyTuple_GetItem)(PyObject*, PySsize);
  int (*PyTuple_SetItem)(PyObject*, PySsize, PyObject*);
  PyObject* (*PyList_New)(PySsize);
  int (*PyList_Append)(PyObject*, PyObject*);
  PySsize (*PyList_Size)(PyObject*);
  PyObject* (*PyList_GetItem)(PyObject*, PySsize);

  // What a 3.x runtime needs beyond the historical table: wide program
  // name and search path before initialisation, and the switch that
  // keeps the user's PYTHON* variables out of our interpreter.
  wchar_t* (*Py_DecodeLocale)(const char*, size_t*);
  void (*PyMem_RawFree)(void*);
  void (*Py_SetPath)(const wchar_t*);
  int* Py_IgnoreEnvironmentFlag;
  // The code type object itself: archived bytes are run only when they
  // unmarshal to an object of exactly this type.
  PyObject* PyCode_Type;
};

const int kRuntimeSlotCount = 65;
const int kRuntimeExtraSlotCount = 5;

extern RuntimeApi gRuntime;

// Loads the runtime library at `libraryPath` and binds its symbols by
// name. 1 when the library loaded (missing symbols leave null slots), 0
// when it could not be loaded (the slots keep what they held).
int bindRuntime(const char* libraryPath);
// Unloads the library if one is bound.
void unbindRuntime();

// 1 when `object` is a code object (code cannot be subclassed, so its
// type is compared as is). Every runtime object starts with its reference
// count and its type pointer, in 2.7 and 3.x alike (builds without trace
// references, which is what ships); nothing else of it is read.
int isCodeObject(PyObject* object);

// 1 when every slot that the host calls is bound (a library that loads
// but is not the runtime would otherwise crash the launcher).
int runtimeHasRequiredSymbols();

#endif  // SKIFF_HOST_RUNTIME_H_
