// sys.argv and sys.path of the embedded interpreter. Native text (the
// executable's path, arguments, directories) becomes the runtime's text
// type (newNativeText): 2.7's byte strings hold the bytes as they are, and
// 3.x decodes them with the file-system decoding, so bytes that are not
// valid in the locale's encoding survive a round trip through os.fsencode.
#ifndef SKIFF_HOST_SYS_SETUP_H_
#define SKIFF_HOST_SYS_SETUP_H_

// sys.argv = [exePath, argv[1], ..., argv[argc-1]]; an argument that
// cannot be converted is left out. 1 done (also when argc < 1 or argv is
// null, which leaves sys.argv alone), 0 when the list cannot be built.
int setArgv(const char* exePath, int argc, char** argv);
// sys.path = a new empty list; 1 installed, 0 when it could not be.
int resetSysPath();
// Appends `directory` to sys.path; 1 appended, 0 not.
int appendSysPath(const char* directory);

#endif  // SKIFF_HOST_SYS_SETUP_H_
