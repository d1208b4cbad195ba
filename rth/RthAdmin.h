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

/* Whether name is acceptable as a partition name (1) or not (0). */
RTH_API int32_t rthNameValid(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* RTH_RTHADMIN_H */
