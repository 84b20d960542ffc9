// Test helper: a library with none of the runtime's names, which the
// stand-in runtime loads from the work directory and keeps loaded until
// the process ends, as 2.7 does with its extension modules.
extern "C" int skiffHeldLibrary() { return 1; }
