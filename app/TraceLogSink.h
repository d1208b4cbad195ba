// TraceLogSink: installs the process-wide trace log of the reader. After InitTraceLogSink every
// record logged on boost::log::trivial::logger at severity info or higher becomes one line
// "N: <YYYY-mm-dd HH:MM:SS> message" in a numbered, size-rotated file plix_NN.log of the trace
// log directory. Call it once per process, from the main thread, before anything is logged.
#pragma once

#include <cstdint>
#include <string>

// The trace log directory of the shipped program, for the sink and for the cleanup. Windows
// spells it in two ways, "d:\Tmp\jub_logs" and "d:\tmp\jub_logs": one directory on its file
// system, which ignores case; a directory the sink has to create is spelled "Tmp".
#ifdef _WIN32
constexpr const char* TRACE_LOG_DIRECTORY = "d:\\Tmp\\jub_logs";
constexpr const char* TRACE_LOG_CLEANUP_DIRECTORY = "d:\\tmp\\jub_logs";
#else
constexpr const char* TRACE_LOG_DIRECTORY = "/tmp/jub_logs";
constexpr const char* TRACE_LOG_CLEANUP_DIRECTORY = TRACE_LOG_DIRECTORY;
#endif

// File name pattern inside the directory: %2N is the file counter, at least two digits.
constexpr const char* TRACE_LOG_FILE_PATTERN = "plix_%2N.log";

// A file is closed when the next record (without its line feed) would bring the characters
// written to it to this count; so no file holds more than this many characters.
constexpr std::uintmax_t TRACE_LOG_ROTATION_SIZE = 1048576;

// Closed log files of the directory are deleted, oldest first, while together they hold more.
constexpr std::uintmax_t TRACE_LOG_MAX_TOTAL_SIZE = 2097152;

// Configures the process-wide logging core: a synchronous text-file sink writing
// <directory>/plix_%2N.log (rotation, auto-flush, file collector on <directory>, start-up scan so
// that numbering continues after the highest matching file), the global attributes "LineID"
// (1 for the first record that passes the filter), "TimeStamp", "ProcessID" and "ThreadID", and
// the global filter severity >= info.
//
// The directory is created here when missing; the first log file only at the first record, so
// a run that logs nothing leaves no file. The core keeps the sink until the process ends; when
// the process ends through exit (not _Exit or a signal) the current file is handed to the
// collector once more, which may delete older files.
//
// Limit: the collector orders the files it found at set-up by write time in whole seconds; files
// of earlier runs closed within the same second go in directory listing order, so a newer one of
// them can be deleted before an older one.
//
// Failure: catches nothing. Throws boost::filesystem::filesystem_error when the directory
// cannot be created or scanned (the core is then left without this sink). Later, a log file that
// cannot be opened makes the logging statement itself throw filesystem_error ("Failed to open
// the trace log for writing" with the system's reason), since the core has no exception
// handler; so does a record that did not
// reach the file (a full file system, a file size limit: "Failed to write the trace log" with
// the system's reason and the file's path).
//
// Not for repeated use in one process: the logging core and the collector are process-wide.
void InitTraceLogSink(const std::string& directory);

// For the main thread, about once a second: when the current log file no longer stands under
// its name in the directory (removed, or another file put in its place), closes it through the
// sink's own rotation (handed to the file collector as at any rotation), so that the next record
// starts a new file with the next number. True, with the file's path in *removedPath, when it
// did; false when the file is there, when none is open, or before InitTraceLogSink. One identity
// look-up of the file by name; takes the sink's lock briefly. Throws what the rotation throws
// (boost::filesystem::filesystem_error).
bool RestartTraceLogIfRemoved(std::string* removedPath);
