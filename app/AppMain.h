#pragma once
#include <string>

// The whole program: parses the command line, runs the requested commands in their fixed order and
// returns the exit status (0 or 1).
int UpdaterMain(int argc, char** argv);

// The updater directory (home directory followed by /.tessaron/updater); empty when the home
// directory cannot be obtained.
std::string _build_updater_directory();
