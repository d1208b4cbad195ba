/* RthAdmin.h: the partition configuration of this project's stand-in library, which on the
 * real system belongs to the hypervisor's configuration. Used by the admin tool and by
 * tests; the reader never calls it. Same naming and RTH_SHM_PREFIX rule as RthLib.h.
 * Partitions are created zero-filled with mode 0660 (on Windows with the access rights the
 * partition directory hands down; a partition that a process maps cannot be removed there). */
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

RTH_API int32_t rthPartitionCreate(const char* name, uint32_t size);
RTH_API int32_t rthPartitionRemove(const char* name);

/* Calls visit(name, size, context) for each partition under the current prefix, in name
 * order. Returns RTH_OK or RTH_SYSTEM. */
typedef void (*RthPartitionVisitor)(const char* name, uint64_t size, void* context);
RTH_API int32_t rthPartitionList(RthPartitionVisitor visit, void* context);

/* Whether name is acceptable as a partition name (1) or not (0). */
RTH_API int32_t rthNameValid(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* RTH_RTHADMIN_H */
