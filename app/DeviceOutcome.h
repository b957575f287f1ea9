#pragma once
#include <cstdint>
#include <string>

#include "Parameters.h"
#include "engine/DeviceRecord.h"
#include "engine/Updater.h"

// The record of a device's command (-U, recovery, -G) as the front end completes it from the
// engine's own record, for the --json document and for the starter of a run over several devices;
// and the words the summary table of such a run shows for a record.

// The record of the update or recovery the engine just ran (updated: what it returned): the build
// it read when it connected, the build its outcome check read after the reboot, the failed step
// and its cause, the state it left the device in. Only an update that ended before it reached the
// device asks the device once for its build (unless askDevice is false: the record is only kept in
// the device's history, and a refused update must not touch the device). A failure the engine gave
// no cause for has the first error line shown as its cause.
DeviceRecord ConcludeUpdateRecord(Updater& updater, const Parameters& params, bool updated, double seconds,
                                  bool askDevice = true);

// The record of the download (-G) the engine just ran: nothing was written to the device.
DeviceRecord ConcludeDownloadRecord(const Updater& updater, double seconds);

// The first error line the process showed (the cause of last resort).
std::string FirstErrorLine();

// The summary table's state column for the record of an update that ran ("runs build 1234", "in
// its loader without complete firmware: update it again", ...), and its cause column (the step before the
// cause, except for the steps of the run itself, start and process, whose causes say it).
std::string DeviceRecord_TableState(const DeviceRecord& record);
std::string DeviceRecord_TableCause(const DeviceRecord& record);

// One device's record to the starter of its run: a versioned JSON document on the report channel.
void SendDeviceRecord(const DeviceRecord& record);
// The record of such a document; false (with *why) for anything else.
bool ReadDeviceRecordDocument(const std::string& text, DeviceRecord* record, std::string* why);
