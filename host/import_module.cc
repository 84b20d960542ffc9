#include "host/import_module.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "archive/archive.h"
#include "archive/hash_table.h"
#include "host/embedded.h"
#include "host/marshal_check.h"
#include "host/prepare.h"
#include "host/runtime.h"
#include "host/sys_setup.h"
#include "launcher/paths.h"
#include "launcher/work_dir.h"
#include "platform/platform.h"

namespace {

const char kModuleName[] = "_tav_import";
const char kModuleDoc[] =
    "Extensions and faster C implementations for the python module "
    "'tav_import'";

PyObject* newNone() {
  gRuntime.Py_IncRef(gRuntime._Py_NoneStruct);
  return gRuntime._Py_NoneStruct;
}

// Argument errors: the parser has set a TypeError. A 3.x runtime turns a
// result returned with an exception set into a SystemError, so these
// return null and let the TypeError itself reach the caller.

// "s" hands out UTF-8 text owned by the argument tuple.
PyObject* createModule(PyObject*, PyObject* args) {
  const char* name = nullptr;
  if (!gRuntime.PyArg_ParseTuple(args, "s:createModule", &name)) {
    return nullptr;
  }
  char fileName[kPathBufferSize];
  char packageDir[kPathBufferSize];
  char packageName[kPathBufferSize];
  packageDir[0] = '\0';
  packageName[0] = '\0';
  if (!moduleFileName(name, fileName, sizeof fileName)) return newNone();

  HashTable* packages = packageSet();
  if (packages && tableContains(packages, name)) {
    // A package: its code is its __init__ inside its own directory.
    memcpy(packageDir, fileName, strlen(fileName) + 1);
    if (!pathJoin(fileName, sizeof fileName, "__init__")) return newNone();
    memcpy(packageName, name, strlen(name) + 1);
  } else if (const char* dot = strrchr(name, '.')) {
    // A module inside a package belongs to it only when the parent is a
    // registered package.
    size_t length = static_cast<size_t>(dot - name);
    if (length >= sizeof packageName) return newNone();
    memcpy(packageName, name, length);
    packageName[length] = '\0';
    if (!packages || !tableContains(packages, packageName)) {
      packageName[0] = '\0';
    }
  }

  PyObject* module = gRuntime.PyImport_AddModule(name);  // borrowed
  if (!module) {
    gRuntime.PyErr_Clear();
    return newNone();
  }
  gRuntime.PyModule_AddStringConstant(module, "__file__", fileName);
  if (packageName[0]) {
    gRuntime.PyModule_AddStringConstant(module, "__package__", packageName);
  }
  if (packageDir[0]) {
    PyObject* path = gRuntime.PyList_New(0);
    PyObject* dir = newNativeText(packageDir);
    if (path && dir && gRuntime.PyList_Append(path, dir) == 0 &&
        gRuntime.PyModule_AddObject(module, "__path__", path) == 0) {
      path = nullptr;  // the module took it over
    }
    gRuntime.Py_DecRef(dir);
    gRuntime.Py_DecRef(path);
  }
  // Soft failures of the attribute steps must not surface as a
  // SystemError at the caller.
  if (gRuntime.PyErr_Occurred()) gRuntime.PyErr_Clear();
  gRuntime.Py_IncRef(module);
  return module;
}

// The member `name` of the archive in `slot`; its length and *content
// (the caller frees it), or 0.
uint32_t readArchived(int slot, const char* name, uint8_t** content) {
  *content = nullptr;
  Archive* archive = moduleArchive(slot);
  if (!archive) return 0;
  ArchiveMember* member = findMember(archive, name);
  return member ? readMember(archive, member, content) : 0;
}

PyObject* execModule(PyObject*, PyObject* args) {
  const char* name = nullptr;
  const char* path = nullptr;
  if (!gRuntime.PyArg_ParseTuple(args, "ss:execModule", &name, &path)) {
    return nullptr;
  }
  // Other interpreter threads may run during the archive read; the
  // runtime's import lock, held across every import, keeps two reads of
  // the shared archive streams from overlapping.
  uint8_t* content = nullptr;
  PyThreadState* thread = gRuntime.PyEval_SaveThread();
  uint32_t length = readArchived(kModuleTypeCore, name, &content);
  if (!length) {
    free(content);
    length = readArchived(kModuleTypeApp, name, &content);
  }
  // Counts that the bytes cannot hold would have the runtime allocate
  // gigabytes before it noticed: such data is unreadable code.
  if (length && !marshalShapeIsSound(content, length, gRuntime.majorVersion)) {
    length = 0;
  }
  gRuntime.PyEval_RestoreThread(thread);
  if (!length) {
    free(content);
    return newNone();
  }

  PyObject* code = gRuntime.PyMarshal_ReadObjectFromString(
      reinterpret_cast<const char*>(content), static_cast<PySsize>(length));
  free(content);
  if (!code) {
    gRuntime.PyErr_Clear();  // unreadable code is a soft failure
    return newNone();
  }
  // Bytes that unmarshal to anything else (a number, a tuple, None) are
  // unreadable code too: the runtime would run them as code and crash.
  if (!isCodeObject(code)) {
    gRuntime.Py_DecRef(code);
    return newNone();
  }
  PyObject* module = gRuntime.PyImport_ExecCodeModuleEx(name, code, path);
  gRuntime.Py_DecRef(code);
  if (gRuntime.PyErr_Occurred()) {
    gRuntime.Py_DecRef(module);
    return nullptr;  // the module's own exception propagates
  }
  return module ? module : newNone();
}

PyObject* hasModule(PyObject*, PyObject* args) {
  const char* name = nullptr;
  if (!gRuntime.PyArg_ParseTuple(args, "s:hasModule", &name)) return nullptr;
  long where = 0;
  for (int slot : {kModuleTypeCore, kModuleTypeApp}) {
    Archive* archive = moduleArchive(slot);
    if (archive && findMember(archive, name)) {
      where = slot;
      break;
    }
  }
  return gRuntime.PyLong_FromLong(where);
}

PyObject* isPackage(PyObject*, PyObject* args) {
  const char* name = nullptr;
  if (!gRuntime.PyArg_ParseTuple(args, "s:isPackage", &name)) return nullptr;
  HashTable* packages = packageSet();
  return gRuntime.PyLong_FromLong(packages && tableContains(packages, name));
}

PyMethodDef kMethods[] = {
    {"createModule", createModule, kMethVarargs,
     "Creates an empty python module initializing relevant constants.\n"
     "Returns 'None' if failed loading the bytecode."},
    {"execModule", execModule, kMethVarargs,
     "Load a python code module from the programs archives.\n"
     "Returns 'None' if failed loading the bytecode."},
    {"hasModule", hasModule, kMethVarargs,
     "Check for the existance of a code module in the programs archives"},
    {"isPackage", isPackage, kMethVarargs,
     "Check if the given module name belongs to a package root"},
    {nullptr, nullptr, 0, nullptr},
};

const char* extensionFileType() { return kExtensionModuleSuffix; }

// A constant is an int, or a text when `text` is set. Texts are native
// paths, so they become the runtime's text type like sys.path.
struct Constant {
  const char* name;
  long number;
  const char* (*text)();
};

const Constant kConstants[] = {
    {"SEARCH_ARCHIVES_FIRST", 1, nullptr},
    {"MODULE_TYPE_CORE", kModuleTypeCore, nullptr},
    {"MODULE_TYPE_APP", kModuleTypeApp, nullptr},
    {"MODULE_TYPE_EXTENSION", kModuleTypeExtension, nullptr},
    {"C_EXTENSION_FILETYPE", 0, extensionFileType},
    {"CORE_MODULE_PATH", 0, coreModulePath},
    {"APP_MODULE_PATH", 0, appModulePath},
    {"EXTENSION_PATH", 0, extensionPath},
    {"CORE_MODULES_ARCHIVED", 1, nullptr},
    {"APP_MODULES_ARCHIVED", 1, nullptr},
    {"EXTENSIONS_ARCHIVED", 1, nullptr},
};

// The 2.7 runtime makes a module in one call; 3.x has no such call, so
// the module is the sys.modules entry with the functions added to it.
PyObject* createNativeModule() {
  if (gRuntime.majorVersion == 2) {
    return gRuntime.Py_InitModule4(kModuleName, kMethods, kModuleDoc, nullptr,
                                   kPythonApiVersion);
  }
  PyObject* module = gRuntime.PyImport_AddModule(kModuleName);  // borrowed
  if (!module || gRuntime.PyModule_AddFunctions(module, kMethods) != 0 ||
      gRuntime.PyModule_SetDocString(module, kModuleDoc) != 0) {
    return nullptr;
  }
  return module;
}

}  // namespace

PyObject* initImportModule() {
  PyObject* module = createNativeModule();
  if (!module) {
    gRuntime.PyErr_Clear();  // the importer reports the missing module
    return nullptr;
  }
  for (const Constant& constant : kConstants) {
    if (!constant.text) {
      gRuntime.PyModule_AddIntConstant(module, constant.name, constant.number);
      continue;
    }
    PyObject* value = newNativeText(constant.text());
    if (!value || gRuntime.PyModule_AddObject(module, constant.name, value)) {
      gRuntime.Py_DecRef(value);  // only a successful add takes it over
      gRuntime.PyErr_Clear();
    }
  }
  (void)appendSysPath(workDirPath());  // failure is not reported
  return module;
}
