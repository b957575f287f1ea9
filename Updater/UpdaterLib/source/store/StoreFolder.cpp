#include "store/StoreFolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "store/UpdaterStoreItem.h"

namespace {

// path as one word of a shell command: quoted when it holds anything a shell would act on.
std::string ShellWord(const std::string& path) {
  constexpr const char* kPlain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+:@%,";
  if (!path.empty() && path.find_first_not_of(kPlain) == std::string::npos) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Refusal(const char* what, const std::string& path, const std::string& why, const std::string& fix) {
  return std::string("Refusing the ") + what + " " + path + ": " + why + "; " + fix;
}

std::string ModeText(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string FolderProblem(const std::string& path, const char* what, bool followLink) {
  struct stat info;
  if ((followLink ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) return std::string();
  if (S_ISLNK(info.st_mode)) return Refusal(what, path, "it is a link", "fix it with: rm " + ShellWord(path));
  if (!S_ISDIR(info.st_mode)) return std::string();  // not a folder: nothing keeps firmware in it
  const uid_t user = geteuid();
  if (info.st_uid != user) {
    const std::string owner = std::to_string(info.st_uid);
    const std::string you = std::to_string(user);
    return Refusal(what, path, "it belongs to user " + owner + ", not to you (user " + you + ")",
                   "fix it as root with: chown -R " + you + " " + ShellWord(path) + ", or remove it");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Refusal(what, path, "group or others can write to it (mode " + ModeText(info.st_mode) + ")",
                   "fix it with: chmod go-w " + ShellWord(path));
  }
  return std::string();
}

}  // namespace

std::string StoreFolderProblem(const std::string& root) { return FolderProblem(root, "store folder", true); }

std::string DeviceFolderProblem(const std::string& path) { return FolderProblem(path, "device folder", false); }

std::string StoreProblem(const std::string& root) {
  std::string problem = StoreFolderProblem(root);
  if (!problem.empty()) return problem;
  DIR* listing = opendir(root.c_str());
  if (listing == nullptr) return std::string();  // what cannot be listed is used by nothing
  while (problem.empty()) {
    const struct dirent* entry = readdir(listing);
    if (entry == nullptr) break;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    problem = DeviceFolderProblem(JoinStorePath(root, entry->d_name));
  }
  closedir(listing);
  return problem;
}
