// Helpers shared by the unit tests.
#ifndef SKIFF_TESTS_TEST_UTIL_H_
#define SKIFF_TESTS_TEST_UTIL_H_

#include <stdint.h>

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes away.
struct ScopedTempDir {
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  // `name` inside the directory.
  std::string path(const std::string& name) const;
  std::string dir;
};

// Whole-file helpers; readFileBytes returns false when the file is missing.
bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& data);
bool writeFileText(const std::string& path, const std::string& text);
bool readFileBytes(const std::string& path, std::vector<uint8_t>* data);
bool fileExists(const std::string& path);

// The names in a directory ("." and ".." left out, dot files kept); empty
// when it cannot be listed.
inline std::set<std::string> listDir(const std::string& dir) {
  std::set<std::string> names;
  DirScan* scan = dirScanOpen(dir.c_str(), "*");
  DirEntry entry;
  while (scan && dirScanNext(scan, &entry)) names.insert(entry.name);
  dirScanClose(scan);
  return names;
}

// The smallest zip file: an end of central directory record, no entries.
inline std::vector<uint8_t> emptyZip() {
  std::vector<uint8_t> zip = {'P', 'K', 5, 6};
  zip.resize(22, 0);
  return zip;
}

// Sets (or with an empty value removes) a variable of this process's
// environment through the platform layer, and puts back the old value, or
// removes the variable again, when the object goes away.
struct ScopedEnv {
  ScopedEnv(const std::string& name, const std::string& value) : name(name) {
    const char* current = getEnv(name.c_str());
    had = current != nullptr;
    if (had) old = current;
    (void)setEnv(name.c_str(), value.c_str());  // a test checks what it needs
  }
  ~ScopedEnv() { (void)setEnv(name.c_str(), had ? old.c_str() : ""); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  std::string name, old;
  bool had;
};

// Replaces one of the platform's replaceable calls (platformSetCall) while
// the object lives; the default runs again afterwards.
struct ScopedPlatformCall {
  template <typename Fn>
  ScopedPlatformCall(const char* name, Fn fn) : name(name) {
    platformSetCall(name, reinterpret_cast<PlatformCall>(fn));
  }
  ~ScopedPlatformCall() { platformSetCall(name, nullptr); }
  ScopedPlatformCall(const ScopedPlatformCall&) = delete;
  ScopedPlatformCall& operator=(const ScopedPlatformCall&) = delete;
  const char* name;
};

// Runs a program with arguments and extra environment ("NAME=value";
// "NAME=" removes NAME), waiting at most `timeoutSeconds`; captures its
// standard output and error. Returns the exit status, or -1 when it could
// not be started, was killed or timed out.
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& env = {},
                     int timeoutSeconds = 60, const std::string& cwd = "");

#endif  // SKIFF_TESTS_TEST_UTIL_H_
