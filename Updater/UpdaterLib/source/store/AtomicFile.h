#pragma once
#include <cstddef>

#include "aError.h"

// Replaces the file at path with exactly length bytes of data, never leaving it half-written:
// the bytes go to a hidden temporary file in the same directory (".<name>.partial.<pid>.<n>"),
// which is flushed to disk and then renamed over path. While the temporary file exists, SIGINT,
// SIGTERM and SIGHUP (when the program left them at their default) remove it before they end
// the process; temporary files of runs that were killed outright are removed by the next write
// to the same directory. No link is followed: a link as the folder that holds path fails the write
// (aErrNotFound), a link at path is replaced. Writes from one thread at a time. A new file gets the usual 0666 & ~umask
// permissions, a replaced file keeps its own.
//
// Returns aErrNone on success. aErrParam for a null path or null data with a non-zero length,
// aErrNotFound when the temporary file cannot be created (missing or unwritable directory),
// aErrIO when writing, flushing or renaming fails. On any failure the temporary file is removed
// and an existing file at path is left exactly as it was. When systemError is given it receives
// the errno of the failing call (0 on success).
[[nodiscard]] aErr AtomicFile_Write(const char* path, const void* data, size_t length, int* systemError = nullptr);
