#include "JsonReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "AppInfo.h"

void JsonReport::SetError(UpdateOutcome::Step step, const std::string& cause) {
  if (HasError()) return;
  error_ = Json::Value::Object()
               .Set("step", Json::Value::String(UpdateOutcome_StepName(step)))
               .Set("cause", Json::Value::String(cause));
}

void JsonReport::AddDevice(Json::Value record) {
  Json::Value* devices = fields_.Find("devices");
  if (devices == nullptr) {
    fields_.Set("devices", Json::Value::Array());
    devices = fields_.Find("devices");
  }
  devices->Append(std::move(record));
}

namespace {

// The version without the word the version line starts with: "1.1 Apr 26 2023".
std::string versionText() {
  const std::string line = kAppVersion;
  const std::string word = "Version: ";
  return line.compare(0, word.size(), word) == 0 ? line.substr(word.size()) : line;
}

}  // namespace

Json::Value JsonReport::Document(bool ok) const {
  Json::Value document = Json::Value::Object()
                             .Set("schema", Json::Value::Integer(kSchemaVersion))
                             .Set("program", Json::Value::Object()
                                                 .Set("name", Json::Value::String(kAppName))
                                                 .Set("version", Json::Value::String(versionText())))
                             .Set("command", command_)
                             .Set("ok", Json::Value::Bool(ok))
                             .Set("error", error_);
  for (size_t i = 0; i < fields_.size(); ++i) document.Set(fields_.keys()[i], fields_.items()[i]);
  return document;
}

const char* JsonCommandName(const Parameters& params) {
  const CommandsClass& commands = params.commands;
  if (params.helpRequested) return "help";
  if (commands.IsSet(CMD_UPDATE)) return params.transport == linkTypeRecover ? "recover" : "update";
  if (commands.IsSet(CMD_DISCOVER)) return "discover";
  if (commands.IsSet(CMD_GET_BUILD)) return "get";
  if (commands.IsSet(CMD_FINGERPRINT)) return "fingerprint";
  if (commands.IsSet(CMD_LIST_BUILDS)) return "builds";
  if (commands.IsSet(CMD_INFO)) return "info";
  if (commands.IsSet(CMD_CHECK)) return "check";
  return nullptr;
}

namespace {

bool g_active = false;
bool g_finished = false;
int g_documentFd = -1;  // the real standard output while --json is on
std::string g_firstError;

JsonReport& report() {
  static JsonReport document;
  return document;
}

}  // namespace

bool JsonOutput::Requested(int argc, char** argv) {
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] != nullptr && strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

void JsonOutput::Activate() {
  if (g_active) return;
  g_active = true;
  fflush(stdout);
  // Above the descriptors a device's process is given, and not inherited by it.
  g_documentFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 10);
  if (g_documentFd >= 0) (void)dup2(STDERR_FILENO, STDOUT_FILENO);
}

bool JsonOutput::Active() { return g_active; }

JsonReport& JsonOutput::Report() { return report(); }

void JsonOutput::NoteError(const char* text) {
  if (g_active && g_firstError.empty() && text != nullptr) g_firstError = text;
}

const std::string& JsonOutput::FirstError() { return g_firstError; }

void JsonOutput::Finish(int exitStatus) {
  if (!g_active || g_finished || g_documentFd < 0) return;
  g_finished = true;
  fflush(stdout);
  const std::string text = report().Render(exitStatus);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(g_documentFd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
}
