// The launcher's entry: mode decision, the fixed start-up order, the exit
// status and the teardown order. The top of the folder stack: it calls
// into host/ and launcher/, and nothing includes it but main.cc and its
// tests.
#ifndef SKIFF_MAIN_STARTUP_H_
#define SKIFF_MAIN_STARTUP_H_

extern const char kForkOption[];  // "--multiprocessing-fork"

// Runs the launcher on the process's argument vector; returns the exit
// status: 0, 1 or 2.
int runLauncher(int argc, char** argv);

#endif  // SKIFF_MAIN_STARTUP_H_
