#include "launcher/phase_timing.h"

#ifdef SKIFF_PHASE_TIMINGS

#include <stdio.h>

#include <chrono>

static uint64_t gFirstStart;
static uint64_t gTotals[kPhaseTotalCount];
static int gTotalUsed[kPhaseTotalCount];
static const char* const kTotalNames[kPhaseTotalCount] = {"inflate"};

static void printPhase(const char* name, uint64_t nanoseconds) {
  fprintf(stderr, "skiff-phase %s %.3f\n", name, nanoseconds / 1e6);
}

uint64_t phaseStart() {
  // steady_clock: never set back, so a phase never comes out negative.
  uint64_t now = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
  if (!gFirstStart) gFirstStart = now;
  return now;
}

uint64_t phaseEnd(const char* name, uint64_t start) {
  uint64_t now = phaseStart();
  printPhase(name, now - start);
  return now;
}

void phaseAdd(PhaseTotal total, uint64_t start) {
  gTotals[total] += phaseStart() - start;
  gTotalUsed[total] = 1;
}

void phaseReportTotals() {
  for (int i = 0; i < kPhaseTotalCount; ++i) {
    if (gTotalUsed[i]) printPhase(kTotalNames[i], gTotals[i]);
  }
  if (gFirstStart) printPhase("launcher-total", phaseStart() - gFirstStart);
}

#endif  // SKIFF_PHASE_TIMINGS
