/* RthLib.h: the five functions of the hypervisor's shared-memory library, as the
 * communication layer calls them. Names are imported by name, with C linkage; sizes, handles
 * and the mode are 32-bit.
 *
 * A partition is a named block of shared memory. Callers rely on exactly this:
 *   shmSizeGet(name)            the partition's size in bytes; 0 = not available.
 *   shmOpen(name, 0, &size)     a handle >= 0, or -1 (SHM_KEY_INVALID) on failure. On entry
 *                               *size is the size wanted; on return the size actually opened.
 *   shmAddrGet(handle)          the partition's base in this process; null on failure.
 *   shmClose(handle)            gives the handle back; the result is not used.
 *   shmCleanup(name)            asks the library to recover the partition after a failed
 *                               shmOpen; the result is not used.
 * The handle -1 is reserved by callers to mean "no handle held".
 *
 * This project's Linux stand-in maps the POSIX shared-memory object "/rth.NAME", its Windows
 * stand-in (libRth.dll) the file "%ProgramData%\rth\rth.NAME"; the environment variable
 * RTH_SHM_PREFIX, when set, replaces "rth.". Unit tests link a fake in its place (rth/fake).
 * The Linux stand-in treats an object it refuses (see rthPartitionExplain in RthAdmin.h) as not
 * available: shmSizeGet gives 0 and shmOpen -1. */
#ifndef RTH_RTHLIB_H
#define RTH_RTHLIB_H

#include <stdint.h>

#if defined(_WIN32) && defined(RTH_BUILDING_LIBRARY)
#define RTH_API __declspec(dllexport)
#elif defined(_WIN32)
/* Not dllimport: calls go through the import library's stubs, so that a program can also link
 * the unit tests' fake in the library's place. */
#define RTH_API
#else
#define RTH_API __attribute__((visibility("default")))
#endif

#define SHM_KEY_INVALID (-1)

#ifdef __cplusplus
extern "C" {
#endif

RTH_API uint32_t shmSizeGet(const char* name);
RTH_API int32_t shmOpen(const char* name, int32_t mode, uint32_t* size);
RTH_API void* shmAddrGet(int32_t handle);
RTH_API int32_t shmClose(int32_t handle);
RTH_API int32_t shmCleanup(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* RTH_RTHLIB_H */
