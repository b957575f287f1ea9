// Build retrieval: listing the builds the update server offers for a device and downloading one
// into the device's directory of the local store.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "Log.h"
#include "aBase64.h"
#include "engine/Updater.h"
#include "engine/UpdaterSteps.h"
#include "server/UpdateServerRequest.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "support/NumberText.h"
#include "support/PrintableText.h"
#include "support/SpinnerWait.h"

using namespace engine;

namespace {

constexpr const char* kSpinnerLabel = "Downloading";
constexpr std::chrono::milliseconds kSpinnerPeriod(100);
constexpr size_t kBirdHeaderSize = 6;  // "bird" and the two version bytes

using BuildMap = std::map<std::string, std::string>;


// The same test the store applies before it reads a bird file: "bird" and two non-zero version bytes.
bool looksLikeBirdFile(const unsigned char* data, size_t length) {
  return length >= kBirdHeaderSize && data[0] == 'b' && data[1] == 'i' && data[2] == 'r' && data[3] == 'd' &&
         data[4] != 0 && data[5] != 0;
}

// The one line that names why the download of a build failed.
void showDownloadFailure(UpdaterDisplayInterface& display, const std::string& build, unsigned int serial,
                         const std::string& cause) {
  display.message(UpdaterDisplayInterface::ERROR, "Download of build %s for device %08X failed: %s", build.c_str(),
                  serial, cause.c_str());
}

// The worker of one download: fetches the image and hands its result to the waiting thread; the
// cause of a failure is in *cause before the result is set.
void downloadWorker(std::string url, std::promise<bool>* result, std::string* content, std::string* cause,
                    unsigned int serial, std::string firmware, std::string build, bool no_cal) {
  bool fetched = false;
  try {
    fetched =
        UpdateServerRequest::GetBuild(serial, firmware.c_str(), build.c_str(), *content, url.c_str(), no_cal, cause);
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "Download worker failed: %s\n", error.what());
    *cause = error.what();
  }
  result->set_value(fetched);
}

// Runs the download on a worker thread while this thread turns the spinner.
bool fetchBuildImage(UpdaterDisplayInterface& display, const std::string& url, unsigned int serial,
                     const std::string& firmware, const std::string& build, bool no_cal, std::string& content,
                     std::string* why) {
  std::promise<bool> result;
  std::future<bool> ready = result.get_future();
  std::thread worker;
  std::string cause;
  try {
    worker = std::thread(downloadWorker, url, &result, &content, &cause, serial, firmware, build, no_cal);
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "Could not start the download: %s\n", error.what());
    display.message(UpdaterDisplayInterface::ERROR, "Download failed");
    *why = std::string("could not start the download: ") + error.what();
    showDownloadFailure(display, build, serial, *why);
    return false;
  }
  display.update_spinner(true, kSpinnerLabel);
  while (ready.wait_for(kSpinnerPeriod) != std::future_status::ready) display.update_spinner(true, kSpinnerLabel);
  display.update_spinner(false, kSpinnerLabel);
  bool fetched = ready.get();
  worker.join();
  if (!fetched) {
    display.message(UpdaterDisplayInterface::ERROR, "Download failed");
    showDownloadFailure(display, build, serial, cause);
    *why = cause;
  }
  return fetched;
}

// Decodes the image and stores it as BUILD.bird with the two download settings; false (with the
// user told why, and the failed step and its cause in *failure) when nothing was stored, in which
// case no setting changed either. The image is decoded in the content's own bytes, which then no
// longer hold the Base64 text.
bool storeBuildImage(UpdaterDisplayInterface& display, UpdaterStoreItem& item, unsigned int serial,
                     unsigned int build, std::string& content, TransferFailure* failure) {
  std::string fileName = BirdFileName(build);
  const size_t characters = content.size();
  unsigned char* bytes = reinterpret_cast<unsigned char*>(content.data());
  size_t length = 0;
  // An image that does not decode, or is no bird file, is not stored under a build's name.
  const bool decoded = base64_decode_in_place(bytes, characters, &length);
  if (!decoded || !looksLikeBirdFile(bytes, length)) {
    Log::log(DEBUG_Updater, "Build %u: the server's image is no bird file (%zu Base64 characters)\n", build,
             characters);
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retreive a valid BIRD file");
    *failure = {UpdateOutcome::Step::Download, decoded ? "the image the update server sent is not a bird file"
                                                       : "the image the update server sent is not valid Base64"};
    showDownloadFailure(display, std::to_string(build), serial, failure->cause);
    return false;
  }
  std::string timeText = KeyValueStore::CurrentTimeText();
  int systemError = 0;
  aErr written = item.WriteFile(fileName.c_str(), bytes, length, &systemError);
  std::string().swap(content);
  if (written != aErrNone) {
    // The settings keep naming the last build that was really stored.
    display.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d", static_cast<int>(written));
    *failure = {UpdateOutcome::Step::Store, std::string("could not write ") +
                                                UpdaterStore::JoinPath(item.FullPath(), fileName) + ": " +
                                                (systemError != 0 ? strerror(systemError)
                                                                  : aError_GetErrorDescription(written))};
    display.message(UpdaterDisplayInterface::ERROR, "Failed to store build %u as %s: %s", build,
                    UpdaterStore::JoinPath(item.FullPath(), fileName).c_str(),
                    systemError != 0 ? strerror(systemError) : aError_GetErrorDescription(written));
    return false;
  }
  item.settings.Add(kLatestDownloadKey, fileName);
  item.settings.Add(kLastDownloadDateKey, timeText.c_str());
  if (item.settings.Save(nullptr)) return true;
  *failure = {UpdateOutcome::Step::Store, std::string("the download record could not be saved in ") +
                                              item.settings.Filename() + ": " + item.settings.SaveProblem()};
  display.message(UpdaterDisplayInterface::ERROR, "Build %u stored, but the download record could not be saved in %s: %s",
                  build, item.settings.Filename().c_str(), item.settings.SaveProblem());
  return false;
}

// The device's item of the store, created when the device is new.
bool openDeviceItem(UpdaterDisplayInterface& display, const std::string& root, unsigned int serial,
                    UpdaterStoreItem& item, std::string* why) {
  try {
    UpdaterStore store(root.c_str());
    if (store.FindDevice(serial, &item)) return true;
    Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    item = store.AddDevice(serial);
    return true;
  } catch (const std::exception& error) {
    Log::log(DEBUG_Updater, "%s\n", error.what());
    display.message(UpdaterDisplayInterface::ERROR, "Could not create directory for storing BIRD file");
    _display_store_failure(display, serial, error);
    *why = error.what();
    return false;
  }
}

void showBuildListFailure(UpdaterDisplayInterface& display, unsigned int serial, const std::string& cause) {
  display.message(UpdaterDisplayInterface::ERROR, "Query of the builds for device %08X failed: %s", serial,
                  cause.c_str());
}

// The update server answers; otherwise the user is told so and why.
bool pingServer(UpdaterDisplayInterface& display, const std::string& url, std::string* why = nullptr) {
  std::string cause;
  if (RunUnderSpinner(display, kServerQueryLabel, [&] { return UpdateServerRequest::ping(url.c_str(), &cause); })) {
    return true;
  }
  display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", url.c_str());
  display.message(UpdaterDisplayInterface::ERROR, "Greeting of the update server failed: %s", cause.c_str());
  if (why != nullptr) *why = "greeting of the update server failed: " + cause;
  return false;
}

bool validateBuild(UpdaterDisplayInterface& display, const char* url, unsigned int serial, unsigned int build,
                   bool override, TransferFailure* failure) {
  if (override) {
    display.message(UpdaterDisplayInterface::INFO, "Override specified, skipping validation of build %u", build);
    return true;
  }
  display.message(UpdaterDisplayInterface::INFO, "Validating build %u with server", build);
  std::string cause;
  if (!RunUnderSpinner(display, kServerQueryLabel, [&] { return _valid_build(serial, build, url, &cause); })) {
    display.message(UpdaterDisplayInterface::ERROR, "No valid build %u", build);
    if (!cause.empty()) showBuildListFailure(display, serial, cause);
    *failure = cause.empty() ? TransferFailure{UpdateOutcome::Step::Build,
                                               "build " + std::to_string(build) +
                                                   " is not in the update server's list for the device"}
                             : TransferFailure{UpdateOutcome::Step::Server, "query of the builds failed: " + cause};
    return false;
  }
  display.message(UpdaterDisplayInterface::INFO, "Build %u is valid", build);
  return true;
}

}  // namespace

void engine::_display_latest_build_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::string& cause) {
  display.message(UpdaterDisplayInterface::ERROR, "Query of the latest build for device %08X failed: %s", serial,
                  cause.c_str());
}

std::string engine::_no_build_number_cause(const std::string& latest) {
  if (latest.empty()) return "the update server named no build";
  return "the update server named no build number (\"" + PrintableText(latest.substr(0, 40)) + "\")";
}

void engine::_display_recovery_query_failure(UpdaterDisplayInterface& display, const Fingerprint& fingerprint,
                                     const std::string& cause) {
  display.message(UpdaterDisplayInterface::ERROR, "Recovery query for chip %08X %08X %08X %08X failed: %s",
                  fingerprint.words[0], fingerprint.words[1], fingerprint.words[2], fingerprint.words[3],
                  cause.c_str());
}

bool engine::_settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item) {
  if (item.settings.IsReadable()) return true;
  display.message(UpdaterDisplayInterface::ERROR, "Could not read the settings file %s; it is left as it is",
                  item.settings.Filename().c_str());
  return false;
}

void engine::_display_store_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::exception& error) {
  display.message(UpdaterDisplayInterface::ERROR, "Failed to open the store directory of device %08X: %s", serial,
                  error.what());
}

int Updater::Download_Firmware(unsigned int serial, std::string build, bool override, bool no_cal) {
  lastDownload = UpdateOutcome();
  lastDownload.serial = serial;
  lastDownload.state = UpdateOutcome::DeviceState::Unchanged;
  auto fail = [&](UpdateOutcome::Step step, const std::string& cause) {
    lastDownload.result = UpdateOutcome::Result::Failed;
    lastDownload.step = step;
    lastDownload.cause = cause;
    return 0;
  };
  unsigned int buildNumber = 0;
  if (!build.empty() && !ReadServerBuildNumber(build, &buildNumber)) {
    display.message(UpdaterDisplayInterface::ERROR, "Build number '%s' must be an number", build.c_str());
    return fail(UpdateOutcome::Step::Command, "the build is not a number");
  }
  lastDownload.fileBuild = buildNumber;
  if (serial == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "Serial Number must be non-zero");
    return fail(UpdateOutcome::Step::Command, "no device named");
  }
  std::string cause;
  if (!pingServer(display, serverUrl, &cause)) return fail(UpdateOutcome::Step::Server, cause);
  UpdaterStoreItem item;
  if (!openDeviceItem(display, updaterDirectory, serial, item, &cause)) return fail(UpdateOutcome::Step::Store, cause);
  // Nothing is fetched that could not be recorded.
  if (!_settings_readable(display, item)) return fail(UpdateOutcome::Step::Settings, "settings file unreadable");

  std::string latest, firmware;
  if (!RunUnderSpinner(display, kServerQueryLabel, [&] {
        return UpdateServerRequest::QueryBuild(serial, latest, firmware, serverUrl.c_str(), &cause);
      })) {
    display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
    _display_latest_build_failure(display, serial, cause);
    return fail(UpdateOutcome::Step::Server, "query of the latest build failed: " + cause);
  }
  if (buildNumber == 0 && !ReadServerBuildNumber(latest, &buildNumber)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
  }
  // Build 0 names no build: there is nothing to fetch, and nothing may be stored as 0.bird.
  if (buildNumber == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
    _display_latest_build_failure(display, serial, _no_build_number_cause(latest));
    return fail(UpdateOutcome::Step::Build, _no_build_number_cause(latest));
  }
  lastDownload.fileBuild = buildNumber;
  display.message(UpdaterDisplayInterface::INFO, "Retrieving build %u", buildNumber);
  TransferFailure failure;
  if (!validateBuild(display, serverUrl.c_str(), serial, buildNumber, override, &failure)) {
    return fail(failure.step, failure.cause);
  }

  std::string buildText = std::to_string(buildNumber);
  std::string content;
  bool fetched = fetchBuildImage(display, serverUrl, serial, firmware, buildText, no_cal, content, &cause);
  if (content.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retreive a valid BIRD file");
    if (fetched) {
      cause = "the update server's reply holds no image";
      showDownloadFailure(display, buildText, serial, cause);
    }
    return fail(UpdateOutcome::Step::Download, cause);
  }
  if (!fetched) return fail(UpdateOutcome::Step::Download, cause);
  if (!storeBuildImage(display, item, serial, buildNumber, content, &failure)) return fail(failure.step, failure.cause);
  lastDownload.result = UpdateOutcome::Result::Updated;
  lastDownload.file = UpdaterStore::JoinPath(item.FullPath(), BirdFileName(buildNumber));
  return static_cast<int>(buildNumber);
}

int Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override) {
  unsigned int buildNumber = 0;
  if (!ReadServerBuildNumber(build, &buildNumber)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build.c_str());
    buildNumber = 0;
  }
  unsigned int serial = 0;
  unsigned int serverBuild = 0;
  std::string cause;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serial, &serverBuild, serverUrl.c_str(), &cause)) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Failed to retreive recovery information from Tessaron update server");
    _display_recovery_query_failure(display, fingerprint, cause);
    return 0;
  }
  if (buildNumber == 0) buildNumber = serverBuild;
  return Download_Firmware(serial, std::to_string(buildNumber), override, false);
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial) {
  BuildMap builds;
  (void)Get_BuildList(serial, builds);  // a failure was shown; the map stays empty
  return builds;
}

bool Updater::Get_BuildList(unsigned int serial, std::map<std::string, std::string>& builds) {
  builds.clear();
  if (!pingServer(display, serverUrl)) return false;
  std::string cause;
  if (!RunUnderSpinner(display, kServerQueryLabel,
                       [&] { return UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str(), &cause); })) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve builds for %08X", serial);
    showBuildListFailure(display, serial, cause);
    return false;
  }
  return true;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int) { return {}; }

bool engine::_valid_build(unsigned int serial, unsigned int build, const char* url, std::string* cause) {
  BuildMap builds;
  if (!UpdateServerRequest::GetBuildList(serial, builds, url, cause)) return false;
  for (const auto& entry : builds) {
    uint64_t number = 0;
    if (!ReadUnsignedNumber(entry.first, 10, &number)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      number = 0;
    }
    if (number == build) return true;
  }
  return false;
}

void engine::_display_builds(UpdaterDisplayInterface& display, const std::map<std::string, std::string>& builds,
                     unsigned int serial) {
  if (builds.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "No builds found for device [%08X]", serial);
    return;
  }
  display.message(UpdaterDisplayInterface::INFO, "Build List for device [%08X]:\n", serial);
  display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
  std::vector<std::pair<std::string, std::string>> entries(builds.begin(), builds.end());
  // By version text, byte by byte: 1.10 comes before 1.9.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& left, const auto& right) { return left.second < right.second; });
  for (const auto& [number, version] : entries) {
    // Both texts are the server's: nothing in them may drive the terminal.
    display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", PrintableText(number).c_str(),
                    PrintableText(version).c_str());
  }
}
