// A stand-in for the runtime library in the binding tests: it exports a
// few of the names the binding looks up, two of them data, and nothing
// else of the table. Built as a shared library on both platforms (a DLL
// in the Windows build), so that runtime_test.cc holds on both.
extern "C" {

int Py_NoSiteFlag = 0;
int Py_FrozenFlag = 0;

int Py_IsInitialized() { return 0; }
void Py_Initialize() {}
void Py_Finalize() {}
void PyErr_Clear() {}

// Not a runtime name: reads the flags through the library's own code, so
// a test sees that a data slot points at the library's variable.
int fakeRuntimeFlags() { return Py_NoSiteFlag * 1000 + Py_FrozenFlag; }

}  // extern "C"
