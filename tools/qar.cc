// qar: makes and inspects ".qar" archives. It is the one writer of the
// format (through archive_writer) and reads with the same reader and
// extraction code as the launcher, so what qar accepts the launcher accepts.
//
// Exit status: 0 success, 1 failure, 2 bad arguments. Every failure is one
// line on standard error shaped "qar: call(path): reason".
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_writer.h"
#include "archive/extract.h"
#include "archive/inflate.h"
#include "platform/platform.h"

static const char kUsage[] =
    "usage: qar create [--stored] ARCHIVE NAME=PATH|PATH...\n"
    "       qar list ARCHIVE\n"
    "       qar extract ARCHIVE DIR\n"
    "       qar verify ARCHIVE\n"
    "       qar cat ARCHIVE NAME\n"
    "\n"
    "create   writes ARCHIVE from the given files: zlib-compressed members\n"
    "         (best compression), or stored ones with --stored. NAME=PATH\n"
    "         stores PATH as member NAME (the first '=' splits them); an\n"
    "         argument without '=' is stored under its file name, the part\n"
    "         after the last '/'. Names must be plain file names (no '/',\n"
    "         '\\', '.', '..'), unique and non-empty; files must not be\n"
    "         empty. On any error no archive is written (an existing one is\n"
    "         left as it was).\n"
    "list     one line per member in archive order: name, TAB, content\n"
    "         size, TAB, stored size (its span, 4-byte prefix included).\n"
    "         Members are decoded to learn their size; one that does not\n"
    "         decode shows '?' as its content size (run verify for details).\n"
    "         Exit 0 whenever the archive opens.\n"
    "extract  writes every member into the existing directory DIR under its\n"
    "         name, as a new file (an existing one is never replaced); exit\n"
    "         0 only when every member was written.\n"
    "verify   decodes every member; exit 0 only when all decode.\n"
    "cat      writes member NAME to standard output.\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 bad arguments\n";

static int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// The one place that prints a failure: "qar: call(path): reason".
static void report(const char* call, const std::string& path,
                   const std::string& reason) {
  fprintf(stderr, "qar: %s(%s): %s\n", call, path.c_str(), reason.c_str());
}

// Closes the archive on every path out of a command.
struct ArchiveHolder {
  Archive* archive;
  explicit ArchiveHolder(Archive* a) : archive(a) {}
  ~ArchiveHolder() { closeArchive(archive); }
  ArchiveHolder(const ArchiveHolder&) = delete;
  ArchiveHolder& operator=(const ArchiveHolder&) = delete;
};

static Archive* openOrReport(const char* path) {
  Archive* archive = openArchive(path, 0);
  if (!archive) {
    // The reader says only "no"; a missing file is the one case worth
    // telling apart.
    PathInfo info;
    if (!statPath(path, &info))
      report("openArchive", path, strerror(ENOENT));
    else
      report("openArchive", path,
             "not a readable archive (bad header, index or member count)");
  }
  return archive;
}

// The members in the order their spans lie in the file. The table walk
// order differs from run to run; listings and checks should not.
static std::vector<ArchiveMember*> membersByOffset(Archive* archive) {
  std::vector<ArchiveMember*> members;
  for (ArchiveMember* m = firstMember(archive); m; m = nextMember(archive))
    members.push_back(m);
  std::sort(members.begin(), members.end(),
            [](const ArchiveMember* a, const ArchiveMember* b) {
              if (a->offset != b->offset) return a->offset < b->offset;
              return strcmp(a->name, b->name) < 0;
            });
  return members;
}

// A member and its decoded content length, 0 when it does not decode.
struct DecodedMember {
  ArchiveMember* member;
  uint32_t length;
};

// Decodes every member in file order (what list and verify report); each
// content is dropped as soon as its length is known.
static std::vector<DecodedMember> decodeAll(Archive* archive) {
  std::vector<DecodedMember> decoded;
  for (ArchiveMember* m : membersByOffset(archive)) {
    uint8_t* content = nullptr;
    uint32_t length = readMember(archive, m, &content);
    free(content);
    decoded.push_back({m, length});
  }
  return decoded;
}

// Whole file into *data; 1, or 0 after reporting why.
static int readInputFile(const std::string& path, std::vector<uint8_t>* data) {
  FILE* f = openFile(path.c_str(), "rb");
  if (!f) {
    int iErrno = errno;
    report("open", path, strerror(iErrno));
    return 0;
  }
  data->clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    data->insert(data->end(), chunk, chunk + n);
    // The format keeps sizes in 32 bits; stop before holding more.
    if (data->size() > 0xFFFFFFF0u) {
      fclose(f);
      report("read", path, "file too large for an archive member");
      return 0;
    }
  }
  int failed = ferror(f);
  int iErrno = errno;
  fclose(f);
  if (failed) {
    report("read", path, strerror(iErrno));
    return 0;
  }
  if (data->empty()) {
    report("read", path, "file is empty (an archive cannot hold empty members)");
    return 0;
  }
  return 1;
}

// The last path component: what a bare PATH is stored as.
static std::string baseName(const std::string& path) {
  size_t cut = path.find_last_of(std::string("/") + kPathSeparator);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

static int cmdCreate(int argc, char** argv) {
  int kind = kKindZlib;
  int i = 0;
  if (i < argc && strcmp(argv[i], "--stored") == 0) {
    kind = kKindStored;
    i++;
  }
  if (argc - i < 2) return usage();
  const char* archivePath = argv[i++];

  // Names first, so that a bad command line reads no file.
  std::vector<std::string> names, paths;
  std::set<std::string> seen;
  for (; i < argc; i++) {
    std::string arg = argv[i];
    size_t eq = arg.find('=');
    std::string name = eq == std::string::npos ? baseName(arg) : arg.substr(0, eq);
    std::string path = eq == std::string::npos ? arg : arg.substr(eq + 1);
    if (path.empty()) {
      report("create", arg, "no file given for member \"" + name + "\"");
      return 1;
    }
    if (!isSafeMemberName(name.c_str())) {
      report("create", arg,
             "member name \"" + name +
                 "\" is not a plain file name (empty, '.', '..', or has a "
                 "path separator)");
      return 1;
    }
    if (!seen.insert(name).second) {
      report("create", arg, "duplicate member name \"" + name + "\"");
      return 1;
    }
    names.push_back(name);
    paths.push_back(path);
  }

  std::vector<WriterMember> members(names.size());
  for (size_t k = 0; k < names.size(); k++) {
    members[k].name = names[k];
    if (!readInputFile(paths[k], &members[k].content)) return 1;
  }
  std::string err;
  if (!writeArchiveFile(archivePath, kind, members, &err)) {
    report("writeArchiveFile", archivePath, err);
    return 1;
  }
  return 0;
}

static int cmdList(int argc, char** argv) {
  if (argc != 1) return usage();
  ArchiveHolder holder(openOrReport(argv[0]));
  if (!holder.archive) return 1;
  for (const DecodedMember& d : decodeAll(holder.archive)) {
    const ArchiveMember* m = d.member;
    if (d.length)
      printf("%s\t%u\t%u\n", m->name, (unsigned)d.length,
             (unsigned)m->storedSize);
    else
      printf("%s\t?\t%u\n", m->name, (unsigned)m->storedSize);
  }
  if (fflush(stdout) != 0) {
    int iErrno = errno;
    report("write", "<stdout>", strerror(iErrno));
    return 1;
  }
  return 0;
}

static int cmdExtract(int argc, char** argv) {
  if (argc != 2) return usage();
  const char* dir = argv[1];
  PathInfo info;
  if (!statPath(dir, &info) || !info.isDir) {
    report("extract", dir,
           info.exists ? "not a directory" : "no such directory (create it first)");
    return 1;
  }
  ArchiveHolder holder(openOrReport(argv[0]));
  if (!holder.archive) return 1;
  uint32_t total = holder.archive->memberCount;
  uint32_t written = writeAllMembers(holder.archive, dir);
  if (written != total) {
    report("writeAllMembers", dir,
           std::to_string(total - written) + " of " + std::to_string(total) +
               " members not written (undecodable, unsafe name, target "
               "exists or is not writable)");
    return 1;
  }
  return 0;
}

static int cmdVerify(int argc, char** argv) {
  if (argc != 1) return usage();
  ArchiveHolder holder(openOrReport(argv[0]));
  if (!holder.archive) return 1;
  uint32_t bad = 0;
  std::vector<DecodedMember> members = decodeAll(holder.archive);
  for (const DecodedMember& d : members) {
    if (!d.length) {
      report("readMember", std::string(argv[0]) + ":" + d.member->name,
             "member does not decode");
      bad++;
    }
  }
  if (bad) return 1;
  printf("%s: %u members ok\n", argv[0], (unsigned)members.size());
  return 0;
}

static int cmdCat(int argc, char** argv) {
  if (argc != 2) return usage();
  ArchiveHolder holder(openOrReport(argv[0]));
  if (!holder.archive) return 1;
  std::string where = std::string(argv[0]) + ":" + argv[1];
  ArchiveMember* m = findMember(holder.archive, argv[1]);
  if (!m) {
    report("findMember", where, "no such member");
    return 1;
  }
  uint8_t* content = nullptr;
  uint32_t length = readMember(holder.archive, m, &content);
  if (!length) {
    report("readMember", where, "member does not decode");
    return 1;
  }
  size_t n = fwrite(content, 1, length, stdout);
  free(content);
  if (n != length || fflush(stdout) != 0) {
    int iErrno = errno;
    report("write", "<stdout>", strerror(iErrno));
    return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* cmd = argv[1];
  if (strcmp(cmd, "-h") == 0 || strcmp(cmd, "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  struct Command {
    const char* name;
    int (*run)(int, char**);
  };
  static const Command kCommands[] = {
      {"create", cmdCreate}, {"list", cmdList}, {"extract", cmdExtract},
      {"verify", cmdVerify}, {"cat", cmdCat},
  };
  for (const Command& c : kCommands)
    if (strcmp(cmd, c.name) == 0) return c.run(argc - 2, argv + 2);
  return usage();
}
