// Helpers of the Windows-only tests (implemented in test_util_win32.cc).
#ifndef SKIFF_TESTS_TEST_UTIL_WIN32_H_
#define SKIFF_TESTS_TEST_UTIL_WIN32_H_

#include <string>

// `path` with '\\' separators, made absolute. Build paths come as POSIX
// text ("/work/..."); under wine they resolve on the current drive.
std::string nativePath(const std::string& path);

// The short (8.3) form of an existing path; `path` itself when there is
// none.
std::string shortPath(const std::string& path);

// Whether the library file `path` is mapped into this process.
bool libraryIsLoaded(const std::string& path);

// Runs a separate process that calls DeleteFileA on `path`; 1 when that
// delete succeeded.
int deleteFileInOtherProcess(const std::string& path);

// Moves the last-write time of a file or directory `seconds` back.
bool ageFile(const std::string& path, int seconds);

// Text of the application manifest resource of the program `exePath`;
// empty when it has none.
std::string manifestOf(const std::string& exePath);

// Makes a symbolic link at `link` to the directory `target`; false where
// the system makes none (wine reports success and creates nothing).
bool makeDirectoryLink(const std::string& link, const std::string& target);

#endif  // SKIFF_TESTS_TEST_UTIL_WIN32_H_
