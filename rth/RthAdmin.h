/* RthAdmin.h: the partition configuration of this project's stand-in library, which on the
 * real system belongs to the hypervisor's configuration. Used by the admin tool and by
 * tests; the reader never calls it. Same naming and RTH_SHM_PREFIX rule as RthLib.h.
 * Partitions are created zero-filled with mode 0660 (on Windows with the access rights the
 * partition directory hands down; a partition that a process maps cannot be removed there).
 * On POSIX, where any local user may create objects, the library opens an object only when it
 * is a regular file owned by root or by the calling effective user and not writable by others;
 * it follows no link and never waits in open (a FIFO is refused). */
#ifndef RTH_RTHADMIN_H
#define RTH_RTHADMIN_H

#include <stdint.h>

#include "rth/RthLib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest partition name the management header can hold (31 characters and a NUL). */
#define RTH_MAX_NAME_LENGTH 31

/* Results of the admin calls. */
#define RTH_OK 0
#define RTH_EXISTS 1      /* create: the partition exists already */
#define RTH_NOT_FOUND 2   /* remove: there is no such partition */
#define RTH_BAD_NAME 3    /* empty, too long, or holds '/' */
#define RTH_BAD_SIZE 4    /* 0 */
#define RTH_SYSTEM 5      /* the operating system refused; errno tells why */
#define RTH_UNSAFE 6      /* the object exists but the access rules refuse it */
#define RTH_BUSY 7        /* lock: another lock holds that role on the partition */

/* Room for every text rthPartitionExplain writes (a shorter buffer gets it cut). */
#define RTH_REASON_SIZE 512

RTH_API int32_t rthPartitionCreate(const char* name, uint32_t size);
RTH_API int32_t rthPartitionRemove(const char* name);

/* Calls visit(name, size, context) for each partition under the current prefix, in name
 * order. On POSIX only objects that pass the access rules (see rthPartitionExplain) are
 * visited; links are not followed. Returns RTH_OK or RTH_SYSTEM. */
typedef void (*RthPartitionVisitor)(const char* name, uint64_t size, void* context);
RTH_API int32_t rthPartitionList(RthPartitionVisitor visit, void* context);

/* Why partition name can or cannot be opened by shmSizeGet and shmOpen:
 *   RTH_OK        its object exists and passes the access rules;
 *   RTH_NOT_FOUND there is no object of that name;
 *   RTH_BAD_NAME  name is null, empty, too long or holds '/';
 *   RTH_UNSAFE    the object exists but is refused (POSIX: anything but a regular file, a
 *                 symbolic link, an owner other than root or the calling effective user, or
 *                 write permission for others);
 *   RTH_SYSTEM    it could not be examined or opened for another reason (errno tells why).
 * Writes into reason (NUL-terminated, cut to reasonSize bytes; nothing when reason is null or
 * reasonSize is 0) a text that completes the sentence 'partition "NAME" <reason>': what is
 * wrong (owner uid, mode in octal, kind of file, a link and its target) and what the operator
 * can do, e.g. "is not a regular file (/dev/shm/rth.plixtrace is a FIFO); remove it and
 * recreate it as root (rthpart remove plixtrace, then rthpart create plixtrace SIZE)". For
 * RTH_OK the text describes the object ("exists (owner uid 0 (root), mode 0660, 4096 bytes)").
 * Opens nothing for writing, never blocks and follows no link. On Windows only RTH_OK,
 * RTH_NOT_FOUND, RTH_BAD_NAME and RTH_SYSTEM are given. Any thread. */
RTH_API int32_t rthPartitionExplain(const char* name, char* reason, uint32_t reasonSize);

/* Which object stands behind a partition's name. Two identities name the same object when
 * volume and object are equal; size is what the object held when it was looked at (an object
 * that grew or shrank is still the same object). */
typedef struct RthPartitionIdentity {
    uint64_t volume; /* POSIX: the device (st_dev); Windows: the volume's serial number */
    uint64_t object; /* POSIX: the inode (st_ino); Windows: the file index */
    uint64_t size;   /* bytes */
} RthPartitionIdentity;

/* Tells which object stands behind partition name now, without opening or mapping it (POSIX:
 * lstat of its path; Windows: the file's attributes, through a handle without read or write
 * access), never blocking and following no link. Cheap enough for once a second: a holder that
 * compares it with the identity of the object it attached to learns whether the partition was
 * removed or replaced without mapping it a second time.
 *   RTH_OK        *identity filled in;
 *   RTH_NOT_FOUND, RTH_BAD_NAME, RTH_UNSAFE (POSIX only), RTH_SYSTEM: as rthPartitionExplain,
 *                 *identity left as it is (RTH_SYSTEM also for a null identity, errno EINVAL).
 * Any thread. */
RTH_API int32_t rthPartitionIdentify(const char* name, RthPartitionIdentity* identity);

#ifndef _WIN32
/* Roles a process takes on a partition: one lock per role and partition at a time. */
#define RTH_ROLE_READER 0 /* the queue's reader */
#define RTH_ROLE_WRITER 1 /* the queue's writer */

/* Takes role on partition name: at most one lock per role and partition exists at a time, across
 * processes and within one (two locks of one role conflict in one process too). Locks of
 * different roles never conflict. An open-file-description lock (F_OFD_SETLK) on byte `role` of
 * the object, through a descriptor of its own opened under the access rules (read and write,
 * close-on-exec): the system drops it when the process ends in any way (SIGKILL too) and when it
 * is given back, never because another descriptor of the object is closed. A child made by fork
 * shares the descriptor, and the lock lasts until both have closed it. The lock stays on the
 * object it was taken on after its name is removed or replaced (compare identities to follow
 * the name).
 *   RTH_OK        *lock is the lock's handle (>= 0) and *identity (unless null) the object
 *                 locked;
 *   RTH_BUSY      another lock holds the role; nothing is held;
 *   RTH_NOT_FOUND, RTH_BAD_NAME, RTH_UNSAFE, RTH_SYSTEM: as rthPartitionIdentify (RTH_SYSTEM
 *                 with errno EINVAL also for a null lock or an unknown role); nothing is held.
 * Never blocks. Any thread. */
RTH_API int32_t rthPartitionLock(const char* name, int32_t role, int32_t* lock,
                                 RthPartitionIdentity* identity);

/* Gives a lock back: RTH_OK, or RTH_SYSTEM (errno EINVAL) for a handle that holds none. */
RTH_API int32_t rthPartitionUnlock(int32_t lock);

/* Whether a lock of role could be taken on partition name now: RTH_OK (free) or RTH_BUSY (held
 * by a lock, in this process or another); errors as rthPartitionIdentify. Takes nothing, opens
 * the object for reading only, never blocks. For reports: the answer may be stale at once. */
RTH_API int32_t rthPartitionProbeLock(const char* name, int32_t role);
#endif

/* Whether name is acceptable as a partition name (1) or not (0). */
RTH_API int32_t rthNameValid(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* RTH_RTHADMIN_H */
