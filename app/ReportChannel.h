#pragma once
#include <cstdint>
#include <string>

// The line-based channel through which one device's process of a run over several devices tells
// the process that started it what its console cannot carry: progress and spinner states (its
// standard output is a pipe, not the terminal) and the outcome of its update. The starting process
// names the channel's file descriptor in the environment variable below; a process started
// otherwise has no channel and behaves as it always does.
namespace ReportChannel {

constexpr const char* kEnvironmentName = "UPDATER_REPORT_FD";

// Takes the channel named by the environment (removing the variable); false when there is none.
bool OpenFromEnvironment();
bool Active();

// One record: the key, a space and the value (line ends in it replaced by spaces), whole.
void Send(const char* key, const std::string& value);
void Progress(double fraction);
void Spinner(const char* label);
void Idle();

// The first error line the process showed: the cause its starter reports for a failure.
void NoteError(const char* text);
const std::string& FirstError();

}  // namespace ReportChannel
