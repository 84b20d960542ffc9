// The test helpers that need nothing of the operating system beyond the
// C++ library and the platform layer: both platforms' test builds use them.
#include <fstream>
#include <iterator>

#include "platform/platform.h"
#include "tests/test_util.h"

std::string ScopedTempDir::path(const std::string& name) const {
  return dir + kPathSeparator + name;
}

bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(reinterpret_cast<const char*>(data.data()), data.size());
  return bool(f);
}

bool writeFileText(const std::string& path, const std::string& text) {
  return writeFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool readFileBytes(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  data->assign(std::istreambuf_iterator<char>(f),
               std::istreambuf_iterator<char>());
  return true;
}

bool fileExists(const std::string& path) {
  PathInfo info;
  return statPath(path.c_str(), &info) == 1;  // links are not followed
}
