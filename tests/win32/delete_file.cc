// Test helper: deletes one file with DeleteFileA from a process of its
// own. Exit status 0 when the file was deleted, 1 when not, 2 on usage.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  return DeleteFileA(argv[1]) ? 0 : 1;
}
