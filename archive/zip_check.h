// A look at the end of a zip file, enough to tell one that a zip reader
// can open from anything else, without reading the entries.
//
// The end of central directory record closes every zip file: four bytes
// "PK\5\6", disk numbers (2 + 2 bytes), entry counts on this disk and in
// all (2 + 2), the central directory's size (4) and offset (4), and the
// length of the comment that follows (2), which runs to the end of the
// file. The central directory itself lies just before the record, and
// each of its entries starts with "PK\1\2". All numbers little-endian.
#ifndef SKIFF_ARCHIVE_ZIP_CHECK_H_
#define SKIFF_ARCHIVE_ZIP_CHECK_H_

// 1 when the file at `path` ends with an end of central directory record
// whose comment reaches exactly to the end of the file and whose central
// directory fits before it (starting with an entry's signature unless it
// is empty); 0 when it does not, or the file cannot be read.
int isZipFile(const char* path);

#endif  // SKIFF_ARCHIVE_ZIP_CHECK_H_
