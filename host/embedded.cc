#include "host/embedded.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "archive/inflate.h"
#include "host/runtime.h"
#include "launcher/paths.h"
#include "platform/platform.h"

const char kModuleFilePrefix[] = "skiffrelay";

size_t moduleFileName(const char* name, char* out, size_t capacity) {
  int length = snprintf(out, capacity, "%s%s%c%s", kModuleFilePrefix,
                        kExecutableSuffix, kPathSeparator, name);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    if (capacity > 0) out[0] = '\0';
    return 0;
  }
  // Dots of the dotted name only, not the one of ".exe".
  size_t prefix = strlen(kModuleFilePrefix) + strlen(kExecutableSuffix) + 1;
  for (char* p = out + prefix; *p; ++p) {
    if (*p == '.') *p = kPathSeparator;
  }
  return static_cast<size_t>(length);
}

PyObject* execMarshalledModule(const char* name, const uint8_t* bytes,
                               size_t length) {
  char fileName[kPathBufferSize];
  if (!moduleFileName(name, fileName, sizeof fileName)) return nullptr;
  PyObject* code = gRuntime.PyMarshal_ReadObjectFromString(
      reinterpret_cast<const char*>(bytes), static_cast<PySsize>(length));
  if (!code) return nullptr;  // the runtime's exception stays pending
  if (!isCodeObject(code)) {
    // Run as code, any other object would crash the runtime; it fails
    // like data that does not expand.
    gRuntime.Py_DecRef(code);
    return nullptr;
  }
  // Enters the module in sys.modules, sets __file__ and runs the code in
  // its namespace; a module whose code raised is removed again.
  PyObject* module = gRuntime.PyImport_ExecCodeModuleEx(name, code, fileName);
  gRuntime.Py_DecRef(code);
  return module;
}

PyObject* loadEmbeddedModule(const char* name, const uint8_t* data,
                             uint32_t size, int compression) {
  if (compression == 0) return execMarshalledModule(name, data, size);
  if (compression != 1) return nullptr;
  uint8_t* inflated = nullptr;
  size_t inflatedLength = 0;  // unknown: the inflater grows its buffer
  if (!inflateBuffer(data, size, &inflated, &inflatedLength) ||
      inflatedLength == 0) {
    free(inflated);
    return nullptr;
  }
  PyObject* module = execMarshalledModule(name, inflated, inflatedLength);
  free(inflated);
  return module;
}

int callModuleFunction(const char* moduleName, const char* functionName) {
  PyObject* module = gRuntime.PyImport_ImportModule(moduleName);
  if (!module) return 0;
  int called = 0;
  PyObject* function = gRuntime.PyObject_GetAttrString(module, functionName);
  if (function && gRuntime.PyCallable_Check(function)) {
    // Its result is not needed; an exception it raised stays pending.
    gRuntime.Py_DecRef(gRuntime.PyObject_CallFunction(function, nullptr));
    called = 1;
  }
  gRuntime.Py_DecRef(function);
  gRuntime.Py_DecRef(module);
  return called;
}

// Calls one reporting method; a failure must not keep the next one from
// running, and 3.x refuses calls made while an exception is pending.
static void callReportMethod(PyObject* object, const char* method) {
  PyObject* result = gRuntime.PyObject_CallMethod(object, method, nullptr);
  if (!result) gRuntime.PyErr_Clear();
  gRuntime.Py_DecRef(result);
}

int reportPendingException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  gRuntime.PyErr_Fetch(&type, &value, &traceback);
  gRuntime.PyErr_NormalizeException(&type, &value, &traceback);
  if (!type) return 0;

  PyObject* errorModule = gRuntime.PyImport_ImportModule("tav_error");
  PyObject* errorClass =
      errorModule ? gRuntime.PyObject_GetAttrString(errorModule, "ErrorObject")
                  : nullptr;
  PyObject* args = nullptr;
  if (errorClass && gRuntime.PyCallable_Check(errorClass)) {
    args = gRuntime.PyTuple_New(traceback ? 3 : 2);
  }
  if (!args) {
    // The fetched exception is dropped, like the runtime's own failures.
    gRuntime.PyErr_Clear();
    gRuntime.Py_DecRef(type);
    gRuntime.Py_DecRef(value);
    gRuntime.Py_DecRef(traceback);
    gRuntime.Py_DecRef(errorClass);
    gRuntime.Py_DecRef(errorModule);
    return 0;
  }
  if (!value) {
    // Normalisation leaves a value; keep the tuple free of holes anyway.
    value = gRuntime._Py_NoneStruct;
    gRuntime.Py_IncRef(value);
  }
  // The tuple takes the three references over.
  gRuntime.PyTuple_SetItem(args, 0, type);
  gRuntime.PyTuple_SetItem(args, 1, value);
  if (traceback) gRuntime.PyTuple_SetItem(args, 2, traceback);

  PyObject* report = gRuntime.PyObject_CallObject(errorClass, args);
  int handled = 0;
  if (report) {
    callReportMethod(report, "showExceptionInfo");
    callReportMethod(report, "dumpExceptionInfo");
    callReportMethod(report, "dumpMemory");
    PyObject* handler =
        gRuntime.PyObject_GetAttrString(errorModule, "ERROR_HANDLER");
    if (handler && gRuntime.PyCallable_Check(handler)) {
      gRuntime.Py_DecRef(
          gRuntime.PyObject_CallFunction(handler, "(O)", report));
    }
    gRuntime.Py_DecRef(handler);
    handled = 1;
  }
  // Nothing of the report's own failures reaches the exit decision.
  gRuntime.PyErr_Clear();
  gRuntime.Py_DecRef(report);
  gRuntime.Py_DecRef(args);
  gRuntime.Py_DecRef(errorClass);
  gRuntime.Py_DecRef(errorModule);
  return handled;
}
