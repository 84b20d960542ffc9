// Start-up phase timings for measurements. Built in only with the CMake
// option SKIFF_PHASE_TIMINGS (compile definition of the same name): each
// phase then prints one line to standard error,
//   "skiff-phase <name> <milliseconds>"
// and the totals gathered across calls (inflate) print at the end. In a
// normal build every function below is an empty inline, so the calls cost
// nothing and the program's output is unchanged.
#ifndef SKIFF_LAUNCHER_PHASE_TIMING_H_
#define SKIFF_LAUNCHER_PHASE_TIMING_H_

#include <stdint.h>

// Totals summed over many short calls, printed by phaseReportTotals.
enum PhaseTotal { kPhaseTotalInflate, kPhaseTotalCount };

#ifdef SKIFF_PHASE_TIMINGS

// Monotonic clock in nanoseconds; the start of a phase.
uint64_t phaseStart();
// Prints the time since `start` as phase `name`; returns the current
// clock, the start of the next phase.
uint64_t phaseEnd(const char* name, uint64_t start);
// Adds the time since `start` to one total.
void phaseAdd(PhaseTotal total, uint64_t start);
// Prints every total that was added to, and the time since the first
// phaseStart of the process.
void phaseReportTotals();

#else

inline uint64_t phaseStart() { return 0; }
inline uint64_t phaseEnd(const char*, uint64_t) { return 0; }
inline void phaseAdd(PhaseTotal, uint64_t) {}
inline void phaseReportTotals() {}

#endif  // SKIFF_PHASE_TIMINGS

#endif  // SKIFF_LAUNCHER_PHASE_TIMING_H_
