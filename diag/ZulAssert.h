// ZUL_ASSERT: the fatal invariant check of the communication layer.
//
// ZUL_ASSERT(expr) evaluates expr exactly once, in every build type. When it is false it
// writes one line on stderr,
//     <program>: fatal: ZUL_ASSERT failed [<expr as written>] in <Qualified::Function>, line <N>
// then reports "ZUL_ASSERT failed [<expr>]" at DIAG_FATAL, writes a stack trace, reports
// "Exiting ZUL!" and ends the process with exit(-2) (254 to a POSIX parent). exit runs the
// process-end handlers and static destructors but does not unwind the stack.
//
// A program linked with diag_fatal_throw instead (the fuzz targets only, see diag/ZulAssertEnd.h)
// throws PlixBase::ZulAssertFailure after the same line and reports instead of ending the process.
//
// A partition whose memory was lost (Platform::MappingGuard::Lost: the object was truncated
// under its mapping, which now reads zeros) breaks invariants without any program fault: then,
// in both builds, the failure throws PlixBase::PartitionMemoryLost instead, and writes and
// reports nothing. The caller treats the partition as removed.
//
// A reader that attaches to a partition, or gives its reference back, while another party sets
// that partition up meets the reference-count protocol's fatal checks (initTime 0, or changed
// between the two reads) without any program fault either. Code that may meet them so, and
// treats that as "try again later", holds a SetUpRaceScope meanwhile: a failure on that thread
// then throws PlixBase::PartitionBeingSetUp instead, and writes and reports nothing.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace PlixBase {

// Runs the failure sequence (or throws PartitionMemoryLost, see above). prettyFunction is the compiler's __PRETTY_FUNCTION__, from
// which the qualified function name ("Namespace::Class::Operation") is taken.
[[noreturn]] void ZulAssertFail(const char* prettyFunction, uint32_t line, const char* expression);

// The qualified name in a __PRETTY_FUNCTION__ text: return type and parameters removed.
const char* QualifiedFunctionName(const char* prettyFunction, char* buf, uint32_t bufSize);

struct ZulAssertFailure : std::logic_error {
    using std::logic_error::logic_error;
};

// Thrown by a failed ZUL_ASSERT while the watched partition mapping is lost: the failure
// comes from the zeros that replaced a truncated partition, not from a broken program. what()
// names the check, the function and the line.
struct PartitionMemoryLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thrown by a failed ZUL_ASSERT on a thread inside a SetUpRaceScope (and whose partition memory
// was not lost): the check failed because another party set the partition up meanwhile. what()
// names the check, the function and the line.
struct PartitionBeingSetUp : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// While an object lives, a failed ZUL_ASSERT on the thread that made it throws
// PartitionBeingSetUp instead of ending the process. Scopes nest. Only for code that attaches
// to or releases a partition that another process may be setting up, and that catches the
// exception; never around code whose invariants are the program's own.
class SetUpRaceScope {
public:
    SetUpRaceScope();
    ~SetUpRaceScope();
    SetUpRaceScope(const SetUpRaceScope&) = delete;
    SetUpRaceScope& operator=(const SetUpRaceScope&) = delete;
};

}  // namespace PlixBase

#define ZUL_ASSERT(expr)                                                       \
    do {                                                                       \
        if (!(expr)) {                                                         \
            ::PlixBase::ZulAssertFail(__PRETTY_FUNCTION__, __LINE__, #expr);   \
        }                                                                      \
    } while (0)

// ZUL_ASSERT_AS(check, text): the same check, reported under text instead of the source of
// check. For an invariant known by a text that names a field of shared memory while the check
// runs on a value taken from it atomically (a plain, racing load of the field would be a data
// race); text is the expression as the invariant is known, which operators and tools match.
#define ZUL_ASSERT_AS(check, text)                                          \
    do {                                                                    \
        if (!(check)) {                                                     \
            ::PlixBase::ZulAssertFail(__PRETTY_FUNCTION__, __LINE__, text); \
        }                                                                   \
    } while (0)
