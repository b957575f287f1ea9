#pragma once
#include <string>

#include "Parameters.h"
#include "engine/UpdateOutcome.h"
#include "support/Json.h"

// The one JSON document --json puts on standard output (version 1):
//   schema   1
//   program  {name, version} (the version as the version line shows it, without "Version: ")
//   command  "discover", "builds", "get", "update", "recover", "fingerprint", "info", "check",
//            "help" (usage shown), or null when the command line was not understood
//   ok       true exactly when the exit status is 0
//   error    {step, cause} for a failure that belongs to no device (the command line, the
//            server, the store), else null; step is an UpdateOutcome_StepName
//   ...      the command's own fields (devices, builds, ...), in the order they were set
class JsonReport {
 public:
  static constexpr int kSchemaVersion = 1;

  void SetCommand(const char* name) { command_ = name != nullptr ? Json::Value::String(name) : Json::Value(); }
  // The first failure that belongs to no device is kept: later ones follow from it.
  void SetError(UpdateOutcome::Step step, const std::string& cause);
  bool HasError() const { return !error_.isNull(); }
  bool HasDevices() const { return fields_.Find("devices") != nullptr; }
  // A field of the command (replacing one of that name).
  void Set(const std::string& key, Json::Value value) { fields_.Set(key, std::move(value)); }
  // Appends a device's record to the "devices" array.
  void AddDevice(Json::Value record);

  Json::Value Document(bool ok) const;
  // The document as one line, with its line end.
  std::string Render(int exitStatus) const { return Json::Write(Document(exitStatus == 0)) + "\n"; }

 private:
  Json::Value command_;
  Json::Value error_;
  Json::Value fields_ = Json::Value::Object();
};

// The command named in a document for the commands of the command line (the one whose outcome
// the run ends with), or nullptr when none was given.
const char* JsonCommandName(const Parameters& params);

// The process's document: collected while --json is on, printed once at the end.
namespace JsonOutput {

// Whether the word --json is on the command line (also when the rest of it is not understood).
bool Requested(int argc, char** argv);

// From here on everything written to standard output goes to standard error (the lines a person
// reads, progress on a terminal, dumps); the document alone goes to the real standard output.
void Activate();
bool Active();
JsonReport& Report();
// The first error line shown: the cause of a failure that nothing recorded more precisely.
void NoteError(const char* text);
const std::string& FirstError();
// Writes the document to the real standard output, once; nothing when --json is off.
void Finish(int exitStatus);

}  // namespace JsonOutput
