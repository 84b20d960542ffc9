// The native module "_tav_import": what the archive importer (tav_import)
// needs from the native side. Constants, in this order:
// SEARCH_ARCHIVES_FIRST 1, MODULE_TYPE_CORE 1, MODULE_TYPE_APP 2,
// MODULE_TYPE_EXTENSION 4, C_EXTENSION_FILETYPE (".so" here),
// CORE_MODULE_PATH, APP_MODULE_PATH (both the modules archive beside the
// executable), EXTENSION_PATH (the work directory), CORE_MODULES_ARCHIVED,
// APP_MODULES_ARCHIVED, EXTENSIONS_ARCHIVED (all 1). Functions:
//   createModule(name)      the sys.modules entry for `name`, with
//                           __file__ "skiffrelay/a/b", and __package__ and
//                           __path__ as the package set says; or None
//   execModule(name, path)  runs the archived code of `name` in that
//                           module with __file__ `path`; None when the
//                           code cannot be read, raises when it raised
//   hasModule(name)         1 in the core archive, 2 in the application
//                           archive, 0 in neither
//   isPackage(name)         1 when `name` is a registered package, else 0
#ifndef SKIFF_HOST_IMPORT_MODULE_H_
#define SKIFF_HOST_IMPORT_MODULE_H_

struct PyObject;

// Creates the module (entered in sys.modules), adds the constants and
// appends the work directory to sys.path. The module (borrowed), or null
// when it cannot be created; nothing else is done then.
PyObject* initImportModule();

#endif  // SKIFF_HOST_IMPORT_MODULE_H_
