#include "host/sys_setup.h"

#include "host/runtime.h"

int setArgv(const char* exePath, int argc, char** argv) {
  if (argc < 1 || !argv) return 1;
  PyObject* list = gRuntime.PyList_New(0);
  if (!list) return 0;
  // The first item is the full path of the executable, never argv[0]:
  // scripts find files beside the program through it.
  PyObject* first = newNativeText(exePath);
  if (!first || gRuntime.PyList_Append(list, first) != 0) {
    gRuntime.Py_DecRef(first);
    gRuntime.Py_DecRef(list);
    return 0;
  }
  gRuntime.Py_DecRef(first);
  for (int i = 1; i < argc; ++i) {
    PyObject* item = newNativeText(argv[i]);
    if (!item || gRuntime.PyList_Append(list, item) != 0) {
      gRuntime.PyErr_Clear();  // that argument is left out
    }
    gRuntime.Py_DecRef(item);
  }
  PyObject* sys = gRuntime.PyImport_ImportModule("sys");
  if (sys) {
    (void)gRuntime.PyObject_SetAttrString(sys, "argv", list);
  } else {
    gRuntime.PyErr_Clear();  // the list is dropped
  }
  gRuntime.Py_DecRef(sys);
  gRuntime.Py_DecRef(list);
  return 1;
}

int resetSysPath() {
  PyObject* list = gRuntime.PyList_New(0);
  if (!list) {
    gRuntime.PyErr_Clear();  // not reported: the run goes on
    return 0;
  }
  PyObject* sys = gRuntime.PyImport_ImportModule("sys");
  int installed = sys != nullptr;
  if (sys) {
    (void)gRuntime.PyObject_SetAttrString(sys, "path", list);
  } else {
    gRuntime.PyErr_Clear();
  }
  gRuntime.Py_DecRef(sys);
  gRuntime.Py_DecRef(list);
  return installed;
}

int appendSysPath(const char* directory) {
  PyObject* text = newNativeText(directory);
  if (!text) {
    gRuntime.PyErr_Clear();  // not reported: the run goes on
    return 0;
  }
  int appended = 0;
  PyObject* sys = gRuntime.PyImport_ImportModule("sys");
  PyObject* path = sys ? gRuntime.PyObject_GetAttrString(sys, "path") : nullptr;
  if (path) appended = gRuntime.PyList_Append(path, text) == 0;
  if (!appended) gRuntime.PyErr_Clear();
  gRuntime.Py_DecRef(path);
  gRuntime.Py_DecRef(sys);
  gRuntime.Py_DecRef(text);
  return appended;
}
