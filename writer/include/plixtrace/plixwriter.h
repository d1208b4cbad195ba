/* plixwriter.h: the writer library of ReadPLIXTrace's trace queue (libplixwriter), for
 * real-time programs that write trace records into a partition's queue, which ReadPLIXTrace
 * drains. C interface, stable within a major version (the library's SONAME carries it).
 *
 *   plixw_writer* w;
 *   if (plixw_open("plixtrace", PLIXW_OPEN_INIT, &w) == PLIXW_OK) {
 *       plixw_write(w, "started\n", 9);       (9: the text, its line feed and its NUL)
 *       plixw_close(w);
 *   }
 *
 * Partitions. A partition is a named block of shared memory that the system's configuration
 * provides (here: `rthpart create NAME SIZE`); the library never creates or removes one. It
 * reaches the partition through the partition library (librth), which the hypervisor's own
 * library replaces on a real system.
 *
 * Records. A record is 0 to plixw_max_record_length() bytes of any value, copied into the
 * queue as they are and read back by the reader byte for byte. ReadPLIXTrace prints a record
 * as text up to its first NUL byte and keeps its first line in its trace log, so text records
 * end with a line feed and a NUL, as plixwrite writes them. In a partition of S bytes the
 * longest record is ((S - 196) rounded down to 64) - 72 bytes: 3768 in 4096 bytes.
 *
 * Threads and processes. One writer per queue at a time: the queue has a single writer and a
 * single reader. plixw_open takes the writer's claim on the partition (on Linux a lock on the
 * partition object, on Windows a named kernel object), which the system drops when the process
 * ends in any way; a second writer, in this process or another, gets PLIXW_E_OTHER_WRITER. A
 * writer object may be handed from thread to thread, but its calls must not overlap; the
 * library takes no lock, so a program that writes from several threads serialises them itself
 * (or gives each thread a queue in a partition of its own). plixw_dropped, plixw_written,
 * plixw_max_record_length and plixw_strerror may be called from any thread at any time while
 * the writer is open.
 *
 * Failures. Every call returns a status (PLIXW_OK or a PLIXW_E_ code; plixw_strerror names
 * them). The library never ends, signals or throws into its host program, logs nothing and
 * installs no signal handlers: a broken partition or queue is a status. One limit is the
 * operating system's: a partition truncated by its administrator while mapped makes the next
 * access to the lost pages raise SIGBUS in the host (the once-a-second check below stops writes
 * to a partition found shorter than mapped, which narrows this to the second after it).
 *
 * The partition behind the name. On Linux a partition may be removed or created anew while a
 * writer has it open; records written into the old one reach no reader. At most about once a
 * second (on a write, and while a write waits for room) the library compares the object behind
 * the name with the one it opened, without mapping it again; removed, replaced, shrunk, or set up
 * anew by someone else: that write and every later one return PLIXW_E_GONE and write nothing, and
 * a wait (one without time-out too) ends with it. Close the writer and open the name again to
 * write into the new partition. (On Windows a mapped partition file is neither removed nor
 * replaced; only a set-up anew is noticed.)
 *
 * Setting up. Whether a partition holds a queue is decided with ReadPLIXTrace's own rules; a
 * queue the reader accepts is never set up anew (PLIXW_OPEN_INIT or not), and a partition is
 * never set up while a reader holds it (PLIXW_E_READER_ATTACHED).
 *
 * Waking the reader. ReadPLIXTrace keeps a wake-up object beside its partition while it runs
 * (on Linux /dev/shm/plixtrace.wake.rth.NAME). The library opens it read-only when it is there
 * and passes the partition objects' rules (owned by root or this process's user, not writable by
 * others), and follows it about once a second on writes (a reader started anew). A write that
 * makes the queue non-empty then wakes a reader that waits for records, at once instead of at
 * its next look at the queue: one system call, only when the reader waits; every other write
 * costs one comparison. Without a usable wake-up object writes are the same, and the reader
 * finds them by polling (within 100 ms).
 *
 * Full queue. By default a record that finds no room is dropped at once (the call never
 * blocks) and counted; plixw_set_full_policy chooses waiting instead, with or without a
 * time-out. A record the call did not place for want of room, whichever the policy, counts in
 * plixw_dropped.
 *
 * Drop markers. So that a reader of the trace sees where records went missing, the library
 * marks them in the stream: when records were dropped since the last record it placed, the next
 * write that finds room first places one marker record, the text
 *
 *     plixwriter: N records dropped (queue full)
 *
 * followed by a line feed and a NUL (N in decimal, without separators; "records" whatever N is;
 * the same for drops after a wait's time-out). ReadPLIXTrace prints and logs it like any record,
 * so `grep 'plixwriter: [0-9]* records dropped'` finds every hole. The text is stable;
 * PLIXW_DROP_MARKER_PREFIX is its fixed start. A marker that finds no room waits for the next
 * write (the record behind it finds no room either: it waits or is dropped as the policy says,
 * and counts in the next marker), so no drop goes unmarked while the writer stays open, and each
 * marker stands exactly where its records are missing. plixw_close places a last marker when
 * the queue has room for it; otherwise those drops are known only from plixw_dropped. Markers
 * are never counted by plixw_written or plixw_dropped. On by default; plixw_set_drop_markers
 * turns them off for a host that needs the stream exactly as written. While nothing waits to be
 * marked, a write costs one test more. */
#ifndef PLIXTRACE_PLIXWRITER_H
#define PLIXTRACE_PLIXWRITER_H

#include <stdint.h>

#if defined(_WIN32)
#define PLIXW_API
#else
#define PLIXW_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses. */
#define PLIXW_OK 0
#define PLIXW_E_ARGUMENT 1     /* a null pointer, a name of 0 or more than 31 characters, an
                                  unknown flag or policy, or data null with a length above 0 */
#define PLIXW_E_NO_PARTITION 2 /* no partition of that name */
#define PLIXW_E_TOO_SMALL 3    /* the partition is too small to hold a queue (under 324 bytes) */
#define PLIXW_E_NOT_SET_UP 4   /* the partition was never set up (all zero); open it with
                                  PLIXW_OPEN_INIT to set it up */
#define PLIXW_E_BROKEN 5       /* open: the partition holds no valid queue and PLIXW_OPEN_INIT
                                  was not given (it is left as it is); write: the queue's header
                                  in the partition is no longer valid (nothing written) */
#define PLIXW_E_OPEN 6         /* the partition library refused to open or map the partition */
#define PLIXW_E_BUSY 7         /* another process set the partition up while this one opened it;
                                  try again */
#define PLIXW_E_TOO_LONG 8     /* the record is longer than plixw_max_record_length(); nothing
                                  written, not counted as dropped */
#define PLIXW_E_FULL 9         /* drop policy: no room; the record is dropped and counted */
#define PLIXW_E_TIMEOUT 10     /* wait policy: no room within the time-out; the record is
                                  dropped and counted */
#define PLIXW_E_NO_MEMORY 11   /* the writer object could not be allocated */
#define PLIXW_E_OTHER_WRITER 12 /* open: another writer has the queue open (one writer per
                                   queue); nothing held, nothing changed */
#define PLIXW_E_GONE 13        /* write: the partition was removed, replaced, shrunk or set up
                                  anew since plixw_open; no reader sees this queue, nothing is
                                  written now or later (not counted as dropped) */
#define PLIXW_E_READER_ATTACHED 14 /* open with PLIXW_OPEN_INIT: the partition holds no queue the
                                      reader accepts, but a reader holds it; a partition is never
                                      set up under a reader (nothing changed) */

/* plixw_open flags. */
#define PLIXW_OPEN_INIT 0x1u   /* when the partition holds no queue the reader accepts and no
                                  reader holds it, set it up: the whole partition is zeroed and
                                  a new, empty queue is set up. Without it, such a partition is
                                  refused and never changed. */

/* Policies of plixw_set_full_policy. */
#define PLIXW_FULL_DROP 0      /* drop the record at once (default) */
#define PLIXW_FULL_WAIT 1      /* wait until the reader makes room, up to the time-out */
#define PLIXW_WAIT_FOREVER 0xFFFFFFFFu

/* The fixed start of every drop marker's text (see Drop markers above). */
#define PLIXW_DROP_MARKER_PREFIX "plixwriter: "

typedef struct plixw_writer plixw_writer;

/* Opens the queue of partition name for writing. A partition with a valid queue is attached
 * to and writing goes on behind the records already in it; one without is set up only with
 * PLIXW_OPEN_INIT (see above). On success *writer is the new writer; on failure it is null and
 * nothing is held. The writer holds a reference on the partition and the writer's claim until
 * plixw_close (PLIXW_E_OTHER_WRITER for a second writer). */
PLIXW_API int plixw_open(const char* name, uint32_t flags, plixw_writer** writer);

/* Writes one record of length bytes from data (null allowed when length is 0). PLIXW_OK once
 * the record is in the queue, visible to the reader; otherwise nothing is written (see
 * PLIXW_E_TOO_LONG, PLIXW_E_FULL, PLIXW_E_TIMEOUT, PLIXW_E_BROKEN). With the drop policy it
 * never blocks; with the wait policy it spins briefly, then sleeps in pauses of up to 1 ms. */
PLIXW_API int plixw_write(plixw_writer* writer, const void* data, uint32_t length);

/* Chooses what plixw_write does when the queue has no room: PLIXW_FULL_DROP (timeout_ms is
 * ignored) or PLIXW_FULL_WAIT for up to timeout_ms milliseconds (PLIXW_WAIT_FOREVER: until
 * there is room). Takes effect with the next write. */
PLIXW_API int plixw_set_full_policy(plixw_writer* writer, int policy, uint32_t timeout_ms);

/* Turns drop markers on (on non-zero, the default) or off (0) from the next write on. Turning
 * them off forgets drops not marked yet (they stay counted in plixw_dropped); only drops while
 * they are on are marked. PLIXW_OK, or PLIXW_E_ARGUMENT for a null writer. */
PLIXW_API int plixw_set_drop_markers(plixw_writer* writer, int on);

/* Records dropped for want of room since plixw_open (PLIXW_E_FULL and PLIXW_E_TIMEOUT); drop
 * markers are not counted. */
PLIXW_API int plixw_dropped(const plixw_writer* writer, uint64_t* count);

/* Records written since plixw_open; drop markers are not counted. */
PLIXW_API int plixw_written(const plixw_writer* writer, uint64_t* count);

/* The longest record this queue takes, in bytes. */
PLIXW_API int plixw_max_record_length(const plixw_writer* writer, uint32_t* length);

/* Places the last drop marker when drops wait to be marked and the queue has room for it now
 * (never waiting), gives the partition reference back and frees the writer; the records written
 * stay in the queue for the reader. A null writer is allowed and does nothing. Always PLIXW_OK. */
PLIXW_API int plixw_close(plixw_writer* writer);

/* A short English text naming status (never null; "unknown status" for a value that is no
 * status of this library). Static storage; any thread. */
PLIXW_API const char* plixw_strerror(int status);

#ifdef __cplusplus
}
#endif

#endif /* PLIXTRACE_PLIXWRITER_H */
