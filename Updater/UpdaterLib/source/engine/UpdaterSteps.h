#pragma once
// The steps the engine's commands are made of, shared between its command files (update, builds,
// recovery, discovery, information). Internal to the engine: the front end sees only Updater.h.
#include <cstdint>
#include <exception>
#include <map>
#include <string>

#include "aError.h"
#include "engine/Updater.h"

class BirdFile;
class UpdaterStoreItem;

namespace engine {

// The transport (USB or TCP/IP) on which the module with that serial number answers, or 0.
linkType _discover_link_type(unsigned int serialNumber);
// The module's firmware build number; 0 on any failure.
[[nodiscard]] uint32_t _get_build_number(Tessaron::Halyard::Module& module);
// Fills the version and the module and router addresses; the first failure is returned.
[[nodiscard]] aErr _get_version(Tessaron::Halyard::Module& module, DeviceInfo& record);

// One error line naming the store directory of a device that could not be opened or made.
void _display_store_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::exception& error);
// The error lines that name why an update-server query failed: the latest build of a device, and
// the serial number and build of a chip in recovery.
void _display_latest_build_failure(UpdaterDisplayInterface& display, unsigned int serial, const std::string& cause);
void _display_recovery_query_failure(UpdaterDisplayInterface& display, const Fingerprint& fingerprint,
                                     const std::string& cause);
// The cause for a latest-build reply that named no build number (latest is the server's text).
std::string _no_build_number_cause(const std::string& latest);
// False, with the user told, when the device's settings file exists but cannot be read: nothing
// is then done that would have to be recorded in it.
[[nodiscard]] bool _settings_readable(UpdaterDisplayInterface& display, const UpdaterStoreItem& item);
// Firmware update steps, shared with serial recovery. A refused file's error line is kept in
// *refusal when given, and the model name the module reported in *model (when it was asked).
[[nodiscard]] int _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird,
                                     Tessaron::Halyard::Module& module, unsigned int serial,
                                     std::string* refusal = nullptr, std::string* model = nullptr);
// The serial number and model name the module reports (failed reads give 0).
DeviceIdentity _read_device_identity(Tessaron::Halyard::Module& module);
// The step that failed and why: where a transfer stopped (loader: a loader block or INIT; load:
// starting the loader; firmware: a firmware block; reboot) with the module's side of why, or
// where a download stopped (server, build, download, store).
struct TransferFailure {
  UpdateOutcome::Step step = UpdateOutcome::Step::None;
  std::string cause;
};
// Both stop at the first block when the link to the module is lost; any other failed block
// leaves the next one to be tried.
[[nodiscard]] aErr _transfer_loader(UpdaterDisplayInterface& display, Tessaron::Halyard::Module& module,
                                    BirdFile& bird, TransferFailure* failure = nullptr);
[[nodiscard]] aErr _transfer_firmware(UpdaterDisplayInterface& display, Tessaron::Halyard::Module& module,
                                      BirdFile& bird, TransferFailure* failure = nullptr);
// Whether build is in the server's build list of the device; when the list could not be had, the
// cause is in *cause (when given).
[[nodiscard]] bool _valid_build(unsigned int serial, unsigned int build, const char* url,
                                std::string* cause = nullptr);

// Serial recovery steps. Identification of an LPC chip over its ISP protocol (the port closed
// afterwards, the chip left synchronised); of an i.MX chip by starting its live loader and reading
// the unique identifier over USB (reset: restart the loader afterwards). A chip left synchronised
// by an earlier run is recognised without a new synchronisation. On failure *why (when given)
// tells the cause in words, for the one error line the caller prints.
// *answered (when given) tells whether an LPC boot ROM answered at all, also when it failed.
[[nodiscard]] bool _get_fingerprint_lpc(std::string port, unsigned int baud, Fingerprint& fingerprint,
                                        std::string* why = nullptr, bool* answered = nullptr);
[[nodiscard]] bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                                        unsigned int serial, std::string birdFile, Fingerprint& fingerprint,
                                        bool reset, std::string* why = nullptr);
// Writes the bird file's loader blocks through the i.MX boot ROM on port ("USB": its HID device)
// and starts the loader: 0, 11 when the boot ROM cannot be opened, 25 when a block failed
// (*why, when given, tells the cause).
[[nodiscard]] int _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, std::string port,
                                            std::string* why = nullptr);
// Erases the LPC chip's flash and writes the (decoded) firmware blocks; the chip must still be
// synchronised at baud.
[[nodiscard]] bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, std::string& port,
                                         unsigned int baud, Fingerprint& fingerprint);
// Updates the module through the running live loader (found over USB).
[[nodiscard]] bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, unsigned int serial);

}  // namespace engine
