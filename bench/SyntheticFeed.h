// SyntheticFeed: synthetic trace lines for plixwrite's standard input, written at a set rate,
// so that one plixwrite process can run a whole ladder of rates without a gap between them.
//
// Line n (numbered from 1 across all Feed calls) is "n " and letters, recordLength - 2
// characters and a line feed; plixwrite adds a NUL, so each line becomes a record of
// recordLength bytes, the same content its --count load has. The reader prints it as the line.
//
// Pacing: line i of a Feed call is due at start + i / rate. The feed sleeps until the next line
// is due and then writes every line that is due in one write, as plixwrite's own --rate pacing
// does after a late wake-up. A pipe that fills up (plixwrite slower than the rate) blocks the
// feed; the rate achieved is reported. One thread.
#pragma once

#include <cstdint>
#include <string>

class SyntheticFeed {
public:
    // fd: the write end of plixwrite's standard input (not owned). recordLength >= 2.
    SyntheticFeed(int fd, uint32_t recordLength);

    // Writes count lines at rate lines per second. Returns the rate achieved (lines per second
    // over the time from the call to the last write), or a negative value when the pipe broke.
    double Feed(uint64_t count, uint64_t rate);

    // Lines written so far; they are numbered 1 to Fed().
    uint64_t Fed() const { return mFed; }

    // The longest the feed was behind its schedule during the last Feed call, in seconds:
    // after a late wake-up that many seconds of lines go out at once, a burst that the queue
    // must absorb whatever the reader does.
    double MaxLateness() const { return mMaxLateness; }

private:
    void AppendLine(std::string& out, uint64_t n) const;

    int mFd;
    uint32_t mRecordLength;
    uint64_t mFed = 0;
    double mMaxLateness = 0;
};
