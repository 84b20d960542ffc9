#include "archive/archive_writer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <set>

#include "archive/archive.h"
#include "archive/inflate.h"
#include "platform/platform.h"

namespace {

const size_t kMaxNameLength = 0xFFFF - 7;  // entryLength is 16 bits

void putU16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void putU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void setU32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One zlib stream (best compression) of `data` appended to `out`.
int appendCompressed(const std::vector<uint8_t>& data, std::vector<uint8_t>* out,
                     std::string* err) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> stream(bound);
  int rc = compress2(stream.data(), &bound, data.data(),
                     static_cast<uLong>(data.size()), Z_BEST_COMPRESSION);
  if (rc != Z_OK) {
    *err = "compress2: zlib error " + std::to_string(rc);
    return 0;
  }
  out->insert(out->end(), stream.begin(), stream.begin() + bound);
  return 1;
}

void append(const std::vector<uint8_t>& data, std::vector<uint8_t>* out) {
  out->insert(out->end(), data.begin(), data.end());
}

int checkMembers(const std::vector<WriterMember>& members, std::string* err) {
  std::set<std::string> seen;
  for (const WriterMember& m : members) {
    if (m.name.empty()) {
      *err = "member name is empty";
      return 0;
    }
    if (m.name.find('\0') != std::string::npos) {
      *err = "member name holds a NUL byte";
      return 0;
    }
    if (m.name.size() > kMaxNameLength) {
      *err = "member name longer than " + std::to_string(kMaxNameLength) +
             " bytes";
      return 0;
    }
    if (!seen.insert(m.name).second) {
      *err = "duplicate member name: " + m.name;
      return 0;
    }
    if (m.content.empty()) {
      *err = "member " + m.name + " is empty";
      return 0;
    }
    if (m.content.size() > UINT32_MAX) {
      *err = "member " + m.name + " is larger than 4 GiB";
      return 0;
    }
  }
  return 1;
}

}  // namespace

int buildArchive(int kind, const std::vector<WriterMember>& members,
                 std::vector<uint8_t>* out, std::string* err) {
  if (kind != kKindStored && kind != kKindZlib) {
    *err = "unsupported archive kind " + std::to_string(kind);
    return 0;
  }
  if (!checkMembers(members, err)) return 0;

  std::vector<uint8_t> bytes;
  bytes.insert(bytes.end(), kind == kKindStored ? kMagicStored : kMagicZlib,
               (kind == kKindStored ? kMagicStored : kMagicZlib) + 4);
  putU32(&bytes, 0);  // indexEnd, set below
  putU32(&bytes, 0);  // indexOffset, set below
  putU32(&bytes, static_cast<uint32_t>(members.size()));

  std::vector<uint8_t> index;
  for (const WriterMember& m : members) {
    if (bytes.size() > UINT32_MAX) {
      *err = "archive larger than 4 GiB";
      return 0;
    }
    uint32_t offset = static_cast<uint32_t>(bytes.size());
    putU32(&bytes, static_cast<uint32_t>(m.content.size()));
    if (kind == kKindStored) {
      append(m.content, &bytes);
    } else if (!appendCompressed(m.content, &bytes, err)) {
      return 0;
    }
    putU16(&index, static_cast<uint32_t>(m.name.size() + 7));
    putU32(&index, offset);
    index.insert(index.end(), m.name.begin(), m.name.end());
    index.push_back('\0');
  }

  size_t indexOffset = bytes.size();
  if (kind == kKindStored) {
    append(index, &bytes);
  } else if (!appendCompressed(index, &bytes, err)) {
    return 0;
  }
  if (bytes.size() > UINT32_MAX) {
    *err = "archive larger than 4 GiB";
    return 0;
  }
  setU32(&bytes, 4, static_cast<uint32_t>(bytes.size()));
  setU32(&bytes, 8, static_cast<uint32_t>(indexOffset));
  out->swap(bytes);
  return 1;
}

int writeArchiveFile(const char* path, int kind,
                     const std::vector<WriterMember>& members,
                     std::string* err) {
  std::vector<uint8_t> bytes;
  if (!buildArchive(kind, members, &bytes, err)) return 0;

  // Written beside the target and renamed over it, so that a reader never
  // sees half an archive and a failure leaves the old file alone.
  std::string temp = std::string(path) + ".tmp" + std::to_string(processId());
  FILE* file = openFile(temp.c_str(), "wb");
  if (!file) {
    *err = "open(" + temp + "): " + strerror(errno);
    return 0;
  }
  errno = 0;
  int ok = writeFile(bytes.data(), bytes.size(), file) == bytes.size();
  int saved = errno ? errno : EIO;
  if (fclose(file) != 0 && ok) {
    ok = 0;
    saved = errno;
  }
  if (!ok) {
    *err = "write(" + temp + "): " + strerror(saved);
    (void)removeFile(temp.c_str());  // best effort; the target is untouched
    return 0;
  }
  // Where rename does not replace an existing file (Windows), the old
  // archive goes first.
  int renamed = rename(temp.c_str(), path) == 0;
  saved = errno;
  if (!renamed && removeFile(path)) {
    renamed = rename(temp.c_str(), path) == 0;
    saved = errno;
  }
  if (!renamed) {
    *err = "rename(" + temp + ", " + path + "): " + strerror(saved);
    (void)removeFile(temp.c_str());  // best effort: a stray temporary only
    return 0;
  }
  return 1;
}
