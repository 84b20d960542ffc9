// Archive store benchmarks, each beside the baseline it should keep up
// with:
//   lookup/*   findMember on a 2,000-member archive (names per second);
//   inflate/*  readMember of a kind-2 member of a few MB against zlib's own
//              uncompress of the same stream bytes;
//   extract/*  writeAllMembers of a ~50 MB archive (stored and zlib) against
//              cp of the same member files.
// A summary of the ratios follows the usual benchmark table. Everything
// runs in a fresh temporary directory that is removed at the end.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "archive/archive.h"
#include "archive/archive_writer.h"
#include "archive/extract.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

const uint32_t kLookupMembers = 2000;
const size_t kExtractBytes = 50u << 20;
const size_t kSyntheticInflateBytes = 4u << 20;

// Deterministic pseudo-random numbers, so that every run measures the
// same bytes.
uint32_t nextRandom(uint64_t* state) {
  *state = *state * 6364136223846793005ull + 1442695040888963407ull;
  return uint32_t(*state >> 33);
}

// Text that compresses like source code and logs (about 3:1), for
// machines without the libraries used below.
std::vector<uint8_t> mixedText(size_t size, uint64_t seed) {
  static const char* const kWords[] = {
      "import", "def", "return", "self", "archive", "member", "offset",
      "buffer", "if", "else", "for", "while", "None", "True", "class",
      "error", "path", "name", "size", "value", "0x1f", "=", "(", ")", ":",
      "12345", "connection", "server", "upload", "temporary", "\n", "\n    ",
  };
  const size_t kCount = sizeof kWords / sizeof kWords[0];
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = kWords[nextRandom(&seed) % kCount];
    out.insert(out.end(), w, w + strlen(w));
    out.push_back(' ');
  }
  out.resize(size);
  return out;
}

struct Fixture {
  ScopedTempDir tmp;
  // lookup
  Archive* lookupArchive = nullptr;
  std::vector<std::string> hitNames, missNames;
  // inflate
  Archive* inflateArchive = nullptr;
  ArchiveMember* inflateMember = nullptr;
  std::string inflateSource;
  std::vector<uint8_t> stream;  // the member's zlib stream, as stored
  uint32_t contentSize = 0;
  // extract
  std::string storedPath, zlibPath, outStored, outZlib, outCp;
  std::vector<std::string> cpArgv;  // cp SRC... DIR
  std::string extractSource;
  uint64_t extractBytes = 0;
  uint32_t extractMembers = 0;
};
Fixture* gFix = nullptr;

bool makeDirectory(const std::string& path) {
  if (makeDir(path.c_str())) return true;
  fprintf(stderr, "archive_bench: makeDir(%s) failed\n", path.c_str());
  return false;
}

bool writeArchive(const std::string& path, int kind,
                  const std::vector<WriterMember>& members) {
  std::string err;
  if (writeArchiveFile(path.c_str(), kind, members, &err)) return true;
  fprintf(stderr, "archive_bench: writeArchiveFile(%s): %s\n", path.c_str(),
          err.c_str());
  return false;
}

// Names shaped like the modules archive: dotted module names, some
// packages stored under "<package>.__init__".
bool setUpLookup(Fixture* f) {
  uint64_t seed = 7;
  std::vector<WriterMember> members;
  for (uint32_t i = 0; i < kLookupMembers; i++) {
    WriterMember m;
    m.name = "pkg" + std::to_string(i / 40) + ".sub" + std::to_string(i % 7) +
             (i % 40 == 0 ? ".__init__" : ".module_" + std::to_string(i));
    m.content = mixedText(64 + nextRandom(&seed) % 256, seed);
    f->hitNames.push_back(m.name);
    f->missNames.push_back(m.name + ".missing");
    members.push_back(std::move(m));
  }
  for (size_t i = f->hitNames.size(); i > 1; i--)
    std::swap(f->hitNames[i - 1], f->hitNames[nextRandom(&seed) % i]);
  std::string path = f->tmp.path("lookup.qar");
  if (!writeArchive(path, 2, members)) return false;
  f->lookupArchive = openArchive(path.c_str(), 0);
  return f->lookupArchive != nullptr;
}

// The runtime library is what the launcher inflates first on every run,
// so it is the most realistic member there is.
std::vector<uint8_t> inflateInput(std::string* source) {
  static const char* const kCandidates[] = {
      "/usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0",
      "/usr/lib/aarch64-linux-gnu/libpython3.11.so.1.0",
      "/usr/lib/libpython3.11.so.1.0",
  };
  std::vector<uint8_t> data;
  for (const char* path : kCandidates) {
    if (readFileBytes(path, &data) && data.size() >= (1u << 20)) {
      *source = path;
      return data;
    }
  }
  *source = "synthetic mixed text";
  return mixedText(kSyntheticInflateBytes, 11);
}

bool setUpInflate(Fixture* f) {
  std::vector<WriterMember> members(1);
  members[0].name = "runtime";
  members[0].content = inflateInput(&f->inflateSource);
  f->contentSize = uint32_t(members[0].content.size());
  std::string path = f->tmp.path("inflate.qar");
  if (!writeArchive(path, 2, members)) return false;
  f->inflateArchive = openArchive(path.c_str(), 0);
  if (!f->inflateArchive) return false;
  f->inflateMember = findMember(f->inflateArchive, "runtime");
  if (!f->inflateMember) return false;
  // The span is the 4-byte size prefix followed by the stream.
  std::vector<uint8_t> bytes;
  if (!readFileBytes(path, &bytes)) return false;
  size_t begin = size_t(f->inflateMember->offset) + 4;
  size_t end = size_t(f->inflateMember->offset) + f->inflateMember->storedSize;
  if (end > bytes.size() || begin >= end) return false;
  f->stream.assign(bytes.begin() + begin, bytes.begin() + end);
  return true;
}

// Shared libraries of a few hundred KB to a few MB until ~50 MB, or mixed
// text where there are too few.
std::vector<WriterMember> extractMembers(std::string* source) {
  std::vector<std::pair<std::string, std::string>> found;  // name, path
  const char* dir = "/usr/lib/x86_64-linux-gnu";
  if (DirScan* scan = dirScanOpen(dir, "*.so*")) {
    DirEntry e;
    while (dirScanNext(scan, &e))
      if (e.info.exists && !e.info.isDir && !e.info.isLink)
        found.push_back({e.name, std::string(dir) + "/" + e.name});
    dirScanClose(scan);
  }
  std::sort(found.begin(), found.end());
  std::vector<WriterMember> members;
  size_t total = 0;
  for (const auto& nf : found) {
    if (total >= kExtractBytes) break;
    WriterMember m;
    if (!readFileBytes(nf.second, &m.content)) continue;
    if (m.content.size() < (256u << 10) || m.content.size() > (8u << 20))
      continue;
    m.name = nf.first;
    total += m.content.size();
    members.push_back(std::move(m));
  }
  *source = std::to_string(members.size()) + " shared libraries from " + dir;
  for (int i = 0; total < kExtractBytes; i++) {
    WriterMember m;
    m.name = "text_" + std::to_string(i) + ".txt";
    m.content = mixedText(std::min<size_t>(2u << 20, kExtractBytes - total), i);
    total += m.content.size();
    members.push_back(std::move(m));
    if (i == 0) *source += " + mixed text";
  }
  return members;
}

bool setUpExtract(Fixture* f) {
  std::vector<WriterMember> members = extractMembers(&f->extractSource);
  std::string src = f->tmp.path("src");
  f->outStored = f->tmp.path("out_stored");
  f->outZlib = f->tmp.path("out_zlib");
  f->outCp = f->tmp.path("out_cp");
  for (const std::string& d : {src, f->outStored, f->outZlib, f->outCp})
    if (!makeDirectory(d)) return false;
  f->cpArgv.push_back("/bin/cp");
  for (const WriterMember& m : members) {
    std::string p = src + "/" + m.name;
    if (!writeFileBytes(p, m.content)) return false;
    f->cpArgv.push_back(p);
    f->extractBytes += m.content.size();
  }
  f->cpArgv.push_back(f->outCp);
  f->extractMembers = uint32_t(members.size());
  f->storedPath = f->tmp.path("big_stored.qar");
  f->zlibPath = f->tmp.path("big_zlib.qar");
  return writeArchive(f->storedPath, 1, members) &&
         writeArchive(f->zlibPath, 2, members);
}

void lookup(benchmark::State& state, const std::vector<std::string>* names,
            bool expectHit) {
  for (auto _ : state) {
    for (const std::string& n : *names) {
      ArchiveMember* m = findMember(gFix->lookupArchive, n.c_str());
      if ((m != nullptr) != expectHit) {
        state.SkipWithError("findMember gave the wrong answer");
        return;
      }
      benchmark::DoNotOptimize(m);
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(names->size()));
}

void inflateReadMember(benchmark::State& state) {
  for (auto _ : state) {
    uint8_t* content = nullptr;
    uint32_t n = readMember(gFix->inflateArchive, gFix->inflateMember, &content);
    free(content);
    if (n != gFix->contentSize) {
      state.SkipWithError("readMember failed");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * gFix->contentSize);
}

// The baseline gets the same work minus the archive: a buffer of the
// final size, one call over the stream bytes.
void inflateZlibUncompress(benchmark::State& state) {
  for (auto _ : state) {
    uint8_t* out = static_cast<uint8_t*>(malloc(gFix->contentSize));
    uLongf n = gFix->contentSize;
    int rc = out ? uncompress(out, &n, gFix->stream.data(), gFix->stream.size())
                 : Z_MEM_ERROR;
    benchmark::DoNotOptimize(out);
    free(out);
    if (rc != Z_OK || n != gFix->contentSize) {
      state.SkipWithError("uncompress failed");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * gFix->contentSize);
}

void extractWithArchive(benchmark::State& state, const std::string* path,
                        const std::string* out) {
  for (auto _ : state) {
    Archive* a = openArchive(path->c_str(), 0);
    uint32_t written = a ? writeAllMembers(a, out->c_str()) : 0;
    closeArchive(a);
    if (written != gFix->extractMembers) {
      state.SkipWithError("extraction failed");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * gFix->extractBytes);
}

void extractWithCp(benchmark::State& state) {
  for (auto _ : state) {
    if (runProgram(gFix->cpArgv, {}, 120).status != 0) {
      state.SkipWithError("cp failed");
      return;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * gFix->extractBytes);
}

// Prints the usual table (plain, so it reads well in logs) and keeps each
// run's rate for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  RecordingReporter() : ConsoleReporter(OO_Tabular) {}
  std::map<std::string, double> rates;  // name -> items or bytes per second
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      for (const char* key : {"items_per_second", "bytes_per_second"}) {
        auto it = r.counters.find(key);
        if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void printSummary(const RecordingReporter& rep) {
  auto rate = [&](const char* name) {
    for (const auto& kv : rep.rates)
      if (kv.first.rfind(name, 0) == 0) return kv.second;
    return 0.0;
  };
  auto ratio = [&](const char* ours, const char* base) {
    double b = rate(base);
    return b > 0 ? rate(ours) / b : 0.0;
  };
  auto mb = [](double bytesPerSecond) { return bytesPerSecond / (1 << 20); };
  printf("\nSummary (ratio = our throughput / baseline throughput)\n");
  printf("  %-46s %12s %10s\n", "figure", "value", "target");
  printf("  %-46s %10.2f M/s %10s\n", "findMember hits, 2000-member archive",
         rate("lookup/findMember_hit") / 1e6, "");
  printf("  %-46s %10.2f M/s %10s\n", "findMember misses",
         rate("lookup/findMember_miss") / 1e6, "");
  printf("  %-46s %8.0f MiB/s %10s\n", "readMember (kind 2) inflate",
         mb(rate("inflate/readMember")), "");
  printf("  %-46s %8.0f MiB/s %10s\n", "zlib uncompress, same stream",
         mb(rate("inflate/zlib_uncompress")), "");
  printf("  %-46s %12.3f %10s\n", "inflate ratio readMember / uncompress",
         ratio("inflate/readMember", "inflate/zlib_uncompress"), ">= 0.95");
  printf("  %-46s %8.0f MiB/s %10s\n", "extract stored archive",
         mb(rate("extract/writeAllMembers_stored")), "");
  printf("  %-46s %8.0f MiB/s %10s\n", "extract zlib archive",
         mb(rate("extract/writeAllMembers_zlib")), "");
  printf("  %-46s %8.0f MiB/s %10s\n", "cp of the same files",
         mb(rate("extract/cp")), "");
  printf("  %-46s %12.3f %10s\n", "extract ratio stored / cp",
         ratio("extract/writeAllMembers_stored", "extract/cp"), "");
  printf("  %-46s %12.3f %10s\n", "extract ratio zlib / cp",
         ratio("extract/writeAllMembers_zlib", "extract/cp"), "");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  Fixture fixture;
  gFix = &fixture;
  if (fixture.tmp.dir.empty()) {
    fprintf(stderr, "archive_bench: cannot make a temporary directory\n");
    return 1;
  }
  fprintf(stderr, "archive_bench: building archives in %s ...\n",
          fixture.tmp.dir.c_str());
  if (!setUpLookup(&fixture) || !setUpInflate(&fixture) ||
      !setUpExtract(&fixture)) {
    fprintf(stderr, "archive_bench: set-up failed\n");
    closeArchive(fixture.lookupArchive);
    closeArchive(fixture.inflateArchive);
    return 1;
  }
  printf("inflate member: %s, %u bytes, stream %zu bytes\n",
         fixture.inflateSource.c_str(), (unsigned)fixture.contentSize,
         fixture.stream.size());
  printf("extract archives: %u members, %llu content bytes (%s)\n",
         (unsigned)fixture.extractMembers,
         (unsigned long long)fixture.extractBytes,
         fixture.extractSource.c_str());

  // Wall-clock time throughout: cp does its work in a child process.
  benchmark::RegisterBenchmark("lookup/findMember_hit", lookup,
                               &fixture.hitNames, true)
      ->UseRealTime();
  benchmark::RegisterBenchmark("lookup/findMember_miss", lookup,
                               &fixture.missNames, false)
      ->UseRealTime();
  benchmark::RegisterBenchmark("inflate/readMember", inflateReadMember)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("inflate/zlib_uncompress", inflateZlibUncompress)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("extract/writeAllMembers_stored",
                               extractWithArchive, &fixture.storedPath,
                               &fixture.outStored)
      ->UseRealTime()
      ->MinTime(1.0)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("extract/writeAllMembers_zlib",
                               extractWithArchive, &fixture.zlibPath,
                               &fixture.outZlib)
      ->UseRealTime()
      ->MinTime(1.0)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("extract/cp", extractWithCp)
      ->UseRealTime()
      ->MinTime(1.0)
      ->Unit(benchmark::kMillisecond);

  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();

  closeArchive(fixture.lookupArchive);
  closeArchive(fixture.inflateArchive);
  return 0;  // fixture.tmp removes the archives and extracted files
}
