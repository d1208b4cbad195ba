// The command lines of rthpart and plixwrite as GNU tools take them: a value after '=' or as
// the next argument, long options abbreviated where unambiguous, "--" ending the options, and
// every bad option said in getopt's words, then the usage line, exit 2, nothing created.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/tools/ToolTestSupport.h"

namespace {

using namespace PlixToolTest;  // running the tools, the private partition prefix

// Each partition under the test's prefix with its size.
std::map<std::string, uint32_t> Partitions(const PrivatePartitions& partitions) {
    std::map<std::string, uint32_t> sizes;
    for (const std::string& name : partitions.Names()) {
        sizes[name] = shmSizeGet(name.c_str());
    }
    return sizes;
}

TEST(OptionFormsTest, ValuesAbbreviationsEndOfOptionsAndErrorsAsGetoptSaysThem) {
    PrivatePartitions partitions;
    const std::string version = PLIX_VERSION;
    const struct {
        const char* program;  // "rthpart" or "plixwrite"
        std::vector<std::string> args;
        int exitCode;
        std::string out;       // exactly, or the start of the usage for "Usage: ..."
        std::string firstErr;  // the first line on stderr, without its line feed
        std::map<std::string, uint32_t> made;  // the partitions after the run
    } cases[] = {
        {"plixwrite", {"--name=alpha", "--size=4096"}, 0, "", "", {{"alpha", 4096}}},
        {"plixwrite", {"--name", "alpha", "--size", "8192"}, 0, "", "", {{"alpha", 8192}}},
        {"plixwrite", {"--na=alpha", "--si", "4096"}, 0, "", "", {{"alpha", 4096}}},
        {"plixwrite", {"--vers"}, 0, "plixwrite " + version + "\n", "", {}},
        {"plixwrite", {"--he"}, 0, "Usage: plixwrite ", "", {}},
        {"plixwrite",
         {"--name=alpha", "--", "--drop"},
         2,
         "",
         "plixwrite: unexpected argument '--drop'",
         {}},
        {"plixwrite",
         {"--n", "alpha"},
         2,
         "",
         "plixwrite: option '--n' is ambiguous; possibilities: '--name' '--no-drop-markers'",
         {}},
        {"plixwrite",
         {"--drop=yes"},
         2,
         "",
         "plixwrite: option '--drop' doesn't allow an argument",
         {}},
        {"plixwrite", {"--size"}, 2, "", "plixwrite: option '--size' requires an argument", {}},
        {"plixwrite",
         {"--size=", "--name=alpha"},
         2,
         "",
         "plixwrite: --size must be a decimal number from 324 to 4294967295: ''",
         {}},
        {"plixwrite", {"--frobnicate"}, 2, "", "plixwrite: unrecognized option '--frobnicate'", {}},
        {"plixwrite", {"-x"}, 2, "", "plixwrite: invalid option -- 'x'", {}},
        {"rthpart", {"create", "--", "-dash", "4096"}, 0, "", "", {{"-dash", 4096}}},
        {"rthpart", {"create", "-dash", "4096"}, 2, "", "rthpart: invalid option -- 'd'", {}},
        {"rthpart", {"--v"}, 0, "rthpart " + version + "\n", "", {}},
        {"rthpart", {"--he"}, 0, "Usage: rthpart ", "", {}},
        {"rthpart",
         {"--version=1"},
         2,
         "",
         "rthpart: option '--version' doesn't allow an argument",
         {}},
        {"rthpart", {"list", "--frob"}, 2, "", "rthpart: unrecognized option '--frob'", {}},
    };
    for (const auto& c : cases) {
        std::string shown = c.program;
        for (const auto& a : c.args) {
            shown += " '" + a + "'";
        }
        SCOPED_TRACE(shown);
        const bool plixwrite = std::string(c.program) == "plixwrite";
        const ToolResult r = RunTool(plixwrite ? PLIXWRITE_PATH : RTHPART_PATH, c.args, "line\n");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        if (c.out.rfind("Usage: ", 0) == 0) {
            EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
        } else {
            EXPECT_EQ(r.out, c.out);
        }
        if (c.firstErr.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            // getopt's line or ours, then the usage line.
            EXPECT_EQ(LineCount(r.err), 2u) << r.err;
            EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.firstErr);
            EXPECT_EQ(r.err.find("\nUsage: " + std::string(c.program) + " "), r.err.find('\n'))
                << r.err;
        }
        EXPECT_EQ(Partitions(partitions), c.made);
        for (const auto& [name, size] : Partitions(partitions)) {
            rthPartitionRemove(name.c_str());
        }
    }
}

}  // namespace
