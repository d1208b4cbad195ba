// MappingGuard: keeps a shared mapping that shrinks under the process from killing it.
//
// On POSIX, when the object behind a shared mapping is truncated by someone else, the next
// access to a page beyond the object's new end raises SIGBUS, whose default action ends the
// process. The guard watches one address range (the partition mapping): a SIGBUS raised by an
// access inside it replaces the whole range with private zero pages of the same protection
// (read and write, as partition mappings are), raises the lost flag and lets the access run
// again, now reading zeros. The caller sees the flag (Lost) and treats the partition as gone.
// A SIGBUS outside the range, or one sent by a process (kill), takes its default action.
//
// The whole range is replaced, not just the faulting page, so that the caller sees one
// consistent picture (every byte zero, the header included) rather than a live header over a
// zeroed data area, and so that none of its later writes reach an object that someone else is
// now resizing or initialising.
//
// On Windows a mapped file cannot be truncated: Install succeeds and the rest does nothing.
//
// Watch, Unwatch and Install are called from the thread that owns the mapping; Lost from any
// thread. The fault may happen on any thread that touches the range.
#pragma once

#include <cstddef>

namespace Platform {

class MappingGuard {
public:
    // Installs the SIGBUS handler for the process (once; later calls return the first
    // result). False when the handler cannot be installed; nothing is watched then.
    static bool Install();

    // Watches [base, base + length), widened to whole pages: the one watched range, replacing
    // the previous one. Clears the lost flag. base is the start of a mapping made read-write
    // (page-aligned); length 0 or a null base watches nothing.
    static void Watch(const void* base, size_t length);

    // Stops watching. The lost flag stays as it is. Call it when the mapping is given back:
    // before it is unmapped, or right after when the code that unmaps touches the mapping first
    // (a destructor that gives a reference back, then unmaps), so that this last access is
    // guarded too. A range left watched over unmapped memory does no harm meanwhile: only a
    // file mapping that lands at its address can raise SIGBUS there.
    static void Unwatch();

    // The same, but only when the watched range is the one Watch was last given base for: an
    // owner of one mapping gives its watch up without ending a watch that another mapping has
    // taken over since.
    static void Unwatch(const void* base);

    // True when an access inside the watched range faulted since the last Watch (the range
    // reads zeros since then). An atomic load: cheap, no system call, safe anywhere.
    static bool Lost();
};

}  // namespace Platform
