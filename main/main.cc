// Process entry of the skiffrelay launcher.
#include "main/startup.h"

int main(int argc, char** argv) { return runLauncher(argc, argv); }
