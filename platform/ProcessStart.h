// ProcessStart: what a long-running program that shares its host with other users sets up
// first, before it opens any file or prints anything.
#pragma once

namespace Platform {

class ProcessStart {
public:
    // Opens standard input, output and error on the null device where they are closed, so that
    // no file the program opens later lands on one of them (a log file on descriptor 1 would
    // receive the console's output). Descriptors that are open stay as they are. POSIX only.
    static void SecureStandardStreams();

    // Files and directories the program creates from now on get no write bit for the group and
    // no bits at all for others: 027 is added to the caller's umask, whose bits all stay (files
    // 0640 and directories 0750 at most; under umask 077, 0600 and 0700). Only tightens, never
    // loosens. Call it before other threads start (the mask is read by setting it). POSIX only.
    static void RestrictNewFileModes();

    // A write to a pipe whose reader is gone, or beyond the file size limit, fails with an
    // error (EPIPE, EFBIG) that the writer handles, instead of ending the process by a signal
    // (SIGPIPE, SIGXFSZ). POSIX only; on Windows such writes fail anyway.
    static void TurnWriteSignalsIntoErrors();

    // Whether error, the errno of a failed write to a standard stream, says that the stream's
    // other end is gone for good: a pipe whose reader quit, a terminal that hung up. On POSIX
    // EPIPE and EIO; on Windows EPIPE, and the C runtime's EINVAL for a write to a pipe that is
    // being closed or is closed (the system's ERROR_NO_DATA or ERROR_BROKEN_PIPE behind it).
    // Call it right after the failed write, on the writing thread.
    static bool WriteEndIsGone(int error);
};

}  // namespace Platform
