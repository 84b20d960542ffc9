// The process-wide binding to the runtime library (libpython3.11, or a
// 2.7 runtime: libpython2.7 / python27.dll), loaded at run time and bound
// by symbol name. Every native part of the
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

// One slot per bound symbol, named after the function it holds. The first
// 65 are the 2.7 runtime's table in its order, with 2.7's signatures; the
// 3.x runtime's own names follow. A 2.7 runtime lacks the 3.x-only names
// and a 3.x runtime the 2.7-only ones (their slots stay null); where both
// export a name with different signatures (Py_SetProgramName), each has
// its own typed slot bound from the same name, and only the one of the
// bound runtime's version may be called. Every member after the version
// is pointer-sized: runtime.cc checks that the table has one row per
// member.
struct RuntimeApi {
  void* library;  // handle from loadLibrary, null while unbound
  // 2 or 3: decided once when binding, from the names the library exports
  // (see bindRuntime); 0 for a library that is neither. Call sites choose
  // by it wherever 2.7 and 3.x differ.
  int majorVersion;

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
  void (*Py_SetProgramName)(char*);  // 2.7; kept, never copied
  void (*Py_Initialize)();
  void (*Py_Finalize)();
  int (*Py_IsInitialized)();
  int (*PyRun_SimpleString)(const char*);
  int (*PyArg_ParseTuple)(PyObject*, const char*, ...);
  // 2.7 only; exported as Py_InitModule4_64 where size_t is wider than
  // int (every 64-bit build).
  PyObject* (*Py_InitModule4)(const char*, PyMethodDef*, const char*,
                              PyObject*, int);
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
  // 2.7's text type is bytes: native text (argv, paths) goes in as it is.
  PyObject* (*PyString_FromStringAndSize)(const char*, PySsize);
  PyObject* (*PyString_FromString)(const char*);
  PyObject* (*PyString_FromFormat)(const char*, ...);
  PySsize (*PyString_Size)(PyObject*);
  char* (*PyString_AsString)(PyObject*);
  void (*PyString_Concat)(PyObject**, PyObject*);
  PyObject* (*PyString_Format)(PyObject*, PyObject*);
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

  // Beyond the table, in both: the switch that keeps the user's PYTHON*
  // variables out of our interpreter, and the code type object itself
  // (archived bytes are run only when they unmarshal to an object of
  // exactly this type).
  int* Py_IgnoreEnvironmentFlag;
  PyObject* PyCode_Type;
  // 2.7: where its search path is computed from before it starts (2.7 has
  // no way to set the path itself). Kept, never copied. 3.x exports the
  // name too, taking wide text: called on 2.7 only.
  void (*Py_SetPythonHome)(char*);

  // 3.x: wide program name and search path before initialisation, and
  // native text as the runtime's text type, decoded with the file-system
  // encoding so undecodable bytes survive.
  void (*Py_SetProgramNameWide)(const wchar_t*);  // "Py_SetProgramName"
  wchar_t* (*Py_DecodeLocale)(const char*, size_t*);
  void (*PyMem_RawFree)(void*);
  void (*Py_SetPath)(const wchar_t*);
  PyObject* (*PyUnicode_DecodeFSDefaultAndSize)(const char*, PySsize);
  PyObject* (*PyUnicode_DecodeFSDefault)(const char*);
  PyObject* (*PyUnicode_FromFormat)(const char*, ...);
  PySsize (*PyUnicode_GetLength)(PyObject*);
  const char* (*PyUnicode_AsUTF8)(PyObject*);
  void (*PyUnicode_Append)(PyObject**, PyObject*);
  PyObject* (*PyUnicode_Format)(PyObject*, PyObject*);
};

const int kRuntimeSlotCount = 65;       // the 2.7 table
const int kRuntimeExtraSlotCount = 14;  // both: 2, 2.7: 1, 3.x: 11

extern RuntimeApi gRuntime;

// Loads the runtime library at `libraryPath`, binds its symbols by name
// and decides its major version. 1 when the library loaded (missing
// symbols leave null slots), 0 when it could not be loaded (the slots
// keep what they held).
int bindRuntime(const char* libraryPath);
// Unloads the library if one is bound.
void unbindRuntime();

// 1 when `object` is a code object (code cannot be subclassed, so its
// type is compared as is). Every runtime object starts with its reference
// count and its type pointer, in 2.7 and 3.x alike (builds without trace
// references, which is what ships); nothing else of it is read.
int isCodeObject(PyObject* object);

// 1 when the library is a 2.x or 3.x runtime and every slot that the
// host calls on that version is bound (a library that loads but is not
// the runtime would otherwise crash the launcher).
int runtimeHasRequiredSymbols();

// Native text (a path, an argument) as the runtime's text type: bytes as
// they are on 2.7, decoded with the file-system encoding on 3.x. A new
// reference, or null with the runtime's exception set.
PyObject* newNativeText(const char* text);

#endif  // SKIFF_HOST_RUNTIME_H_
