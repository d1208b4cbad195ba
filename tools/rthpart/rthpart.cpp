// rthpart: creates, removes, lists and shows partitions of the partition library, playing the
// part of the hypervisor's configuration on this platform. The reader never uses it.
//
//   rthpart create NAME SIZE   new zero-filled partition (mode 0660)
//   rthpart remove NAME
//   rthpart list               "NAME SIZE" per partition, in name order (objects that the
//                              library refuses to open are left out)
//   rthpart show NAME          the partition decoded (read only), the object behind the name
//                              and whether a reader or a writer holds it; a refused object: why
//   rthpart --help             usage on standard output
//   rthpart --version          version on standard output
// Options are read with getopt_long (abbreviations, "--" before a name that starts with '-').
// Exit status: 0 done; 1 the operation failed (exists, absent, refused by the library or the
// system): one line "rthpart: ..." on standard error; 2 bad command line (unknown option or
// command, wrong argument count, bad name or size): the reason and the usage line on standard
// error. A failure changes nothing.
#include <getopt.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/OptionArguments.h"
#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tools/common/ParseDecimal.h"
#include "tools/common/ToolExit.h"
#include "tools/rthpart/PartitionReport.h"

namespace {

// The usage's first line, said again after every bad command line.
const char* const USAGE_LINE =
    "Usage: rthpart create NAME SIZE | remove NAME | list | show NAME | --help | --version\n";

const char* const USAGE_TEXT =
    "Administers partitions of the partition library (the hypervisor's configuration).\n"
    "\n"
    "  rthpart create NAME SIZE   create a zero-filled partition of SIZE bytes (mode 0660)\n"
    "  rthpart remove NAME        remove a partition\n"
    "  rthpart list               list partitions, one \"NAME SIZE\" line each\n"
    "  rthpart show NAME          decode a partition's header and queue (read only), and\n"
    "                             say whether a reader or a writer holds it\n"
    "  rthpart --help             show this text\n"
    "  rthpart --version          show the version\n"
    "\n"
    "NAME: 1 to 31 characters, no '/'. SIZE: a decimal number from 1 to 4294967295.\n"
    "On Linux an object is used only when it is a regular file owned by root or this user, not\n"
    "writable by others; list leaves other objects out, show and create say what is wrong.\n"
    "RTH_SHM_PREFIX, when set, replaces the object name prefix \"rth.\".\n"
    "--help and --version may be abbreviated; -- goes before a NAME that starts with '-'.\n";

int Fail(int status, const std::string& message) { return ToolFail("rthpart", status, message); }

// A bad command line: the reason (unless getopt has said it) and the usage line.
int UsageError(const std::string& message = "") {
    return ToolUsageError("rthpart", USAGE_LINE, message);
}

// Empty string when name is acceptable, else why not.
std::string NameProblem(const char* name) {
    size_t length = std::strlen(name);
    if (length == 0) {
        return "missing partition name";
    }
    if (length > RTH_MAX_NAME_LENGTH) {
        return "partition name longer than 31 characters: '" + std::string(name) + "'";
    }
    if (std::strchr(name, '/') != nullptr) {
        return "partition name must not contain '/': '" + std::string(name) + "'";
    }
    if (!rthNameValid(name)) {
        return "invalid partition name '" + std::string(name) + "'";
    }
    return "";
}

// The library's account of partition name: "partition "NAME" <reason>" with its result code.
std::string Explain(const char* name, int32_t* code) {
    char reason[RTH_REASON_SIZE];
    *code = rthPartitionExplain(name, reason, sizeof reason);
    return reason;
}

int Create(const char* name, const char* sizeText) {
    std::string problem = NameProblem(name);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    uint64_t size = 0;
    if (!ParseDecimal(sizeText, 1, UINT32_MAX, size)) {
        return UsageError("size must be a decimal number from 1 to 4294967295: '" +
                          std::string(sizeText) + "'");
    }
    switch (rthPartitionCreate(name, static_cast<uint32_t>(size))) {
        case RTH_OK:
            return TOOL_EXIT_DONE;
        case RTH_EXISTS: {
            // Says whose object is in the way (another user may have made it first).
            int32_t code = RTH_OK;
            std::string reason = Explain(name, &code);
            return Fail(TOOL_EXIT_FAILED,
                        "cannot create partition \"" + std::string(name) + "\": it " + reason);
        }
        default:
            return Fail(TOOL_EXIT_FAILED, "cannot create partition " + std::string(name) + ": " +
                                              std::strerror(errno));
    }
}

int Remove(const char* name) {
    std::string problem = NameProblem(name);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    switch (rthPartitionRemove(name)) {
        case RTH_OK:
            return TOOL_EXIT_DONE;
        case RTH_NOT_FOUND:
            return Fail(TOOL_EXIT_FAILED, "no partition " + std::string(name));
        default:
            return Fail(TOOL_EXIT_FAILED, "cannot remove partition " + std::string(name) + ": " +
                                              std::strerror(errno));
    }
}

void PrintEntry(const char* name, uint64_t size, void* /*context*/) {
    std::printf("%s %" PRIu64 "\n", name, size);
}

int List() {
    if (rthPartitionList(PrintEntry, nullptr) != RTH_OK) {
        return Fail(TOOL_EXIT_FAILED,
                    std::string("cannot list partitions: ") + std::strerror(errno));
    }
    return TOOL_EXIT_DONE;
}

// The object behind the name and, on POSIX, whether the reader's and the writer's roles are
// held (the answer may change at once; it is a report, not a lock).
void ShowHolders(const char* name) {
    RthPartitionIdentity identity{};
    if (rthPartitionIdentify(name, &identity) == RTH_OK) {
        std::printf("%-14s volume %" PRIu64 ", object %" PRIu64 "\n", "object:", identity.volume,
                    identity.object);
    }
#ifndef _WIN32
    const struct {
        const char* label;
        int32_t role;
    } roles[] = {{"reader:", RTH_ROLE_READER}, {"writer:", RTH_ROLE_WRITER}};
    for (const auto& r : roles) {
        const int32_t held = rthPartitionProbeLock(name, r.role);
        std::printf("%-14s %s\n", r.label,
                    held == RTH_BUSY ? "attached" : held == RTH_OK ? "none" : "unknown");
    }
#endif
}

int Show(const char* name) {
    std::string problem = NameProblem(name);
    if (!problem.empty()) {
        return UsageError(problem);
    }
    // An object the library refuses (or none) is reported in the library's words.
    int32_t code = RTH_OK;
    std::string reason = Explain(name, &code);
    if (code != RTH_OK) {
        return Fail(TOOL_EXIT_FAILED, "partition \"" + std::string(name) + "\" " + reason);
    }
    uint32_t size = shmSizeGet(name);
    if (size == 0) {
        return Fail(TOOL_EXIT_FAILED, "partition " + std::string(name) +
                                          " is not available (absent, empty or over 4 GiB)");
    }
    uint32_t area = size;
    int32_t handle = shmOpen(name, 0, &area);
    if (handle == SHM_KEY_INVALID) {
        return Fail(TOOL_EXIT_FAILED, "cannot open partition " + std::string(name));
    }
    // The size wanted is compared with the size opened: a partition that changed size between
    // the two calls is shown again by the next show, not half.
    if (area != size) {
        shmClose(handle);
        return Fail(TOOL_EXIT_FAILED,
                    "partition " + std::string(name) + " changed size while opened");
    }
    // area is what was mapped; the report reads within it and writes nothing.
    const auto* base = static_cast<const uint8_t*>(shmAddrGet(handle));
    if (base == nullptr) {
        shmClose(handle);
        return Fail(TOOL_EXIT_FAILED, "cannot map partition " + std::string(name));
    }
    std::fputs(PartitionReport::Describe(name, base, area).c_str(), stdout);
    shmClose(handle);
    ShowHolders(name);
    return TOOL_EXIT_DONE;
}

}  // namespace

int main(int argc, char** argv) {
    static const option LONG_OPTIONS[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // getopt's messages start with the program's name, as every line of ours does.
    Platform::OptionArguments optionArguments(argc, argv, "rthpart");
    char** args = optionArguments.Argv();
    bool help = false;
    bool version = false;
    for (int c; (c = getopt_long(argc, args, "h", LONG_OPTIONS, nullptr)) != -1;) {
        switch (c) {
            case 'h':
                help = true;
                break;
            case 'V':
                version = true;
                break;
            default:  // getopt has said what is wrong
                return UsageError();
        }
    }
    // The command and its arguments, in their order (getopt moved the options before them).
    const std::vector<std::string> operands(args + optind, args + argc);
    if (help || version) {
        if (!operands.empty()) {
            return UsageError(std::string(help ? "--help" : "--version") + " takes no arguments");
        }
        if (help) {
            std::fputs(USAGE_LINE, stdout);
            std::fputs(USAGE_TEXT, stdout);
            std::fputs(ToolExitStatusLine("operation failed").c_str(), stdout);
        } else {
            std::printf("rthpart %s\n", PLIX_VERSION);
        }
        return std::fflush(stdout) == 0 ? TOOL_EXIT_DONE : TOOL_EXIT_FAILED;
    }
    if (operands.empty()) {
        return UsageError("no command given");
    }
    const std::string& command = operands[0];
    const size_t arguments = operands.size() - 1;
    if (command == "create") {
        return arguments == 2 ? Create(operands[1].c_str(), operands[2].c_str())
                              : UsageError("create takes NAME and SIZE");
    }
    if (command == "remove") {
        return arguments == 1 ? Remove(operands[1].c_str()) : UsageError("remove takes NAME");
    }
    if (command == "show") {
        return arguments == 1 ? Show(operands[1].c_str()) : UsageError("show takes NAME");
    }
    if (command == "list") {
        return arguments == 0 ? List() : UsageError("list takes no arguments");
    }
    return UsageError("unknown command '" + command + "'");
}
