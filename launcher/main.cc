// Process entry of the skiffrelay launcher.
#include "launcher/startup.h"

int main(int argc, char** argv) { return runLauncher(argc, argv); }
