#pragma once
#include <sys/types.h>

#include <string>

// The store holds the firmware that modules will receive, so only its user may change it: the
// store folder and every device folder in it must belong to the user running the program and be
// closed to writes by group and others, and a device folder may not be a link.

// The mode of every folder the store creates.
constexpr mode_t kStoreFolderMode = 0700;

// One line naming the folder and the command that makes it safe, or empty when it is safe (or
// missing). The store folder may be reached through a link (the check applies to where it
// leads); a device folder may not be one.
std::string StoreFolderProblem(const std::string& root);
std::string DeviceFolderProblem(const std::string& path);

// The store folder and then every device folder in it: the first problem found, or empty.
std::string StoreProblem(const std::string& root);
