// write_records: writes a few text records into a partition's trace queue through the writer
// library's C++ layer, then says how many were written and dropped.
//
//   write_records [PARTITION [COUNT]]      (defaults: plixtrace, 3)
//
// The partition must exist and hold a queue already (plixwrite or the C example sets one up);
// this program never sets one up. Exit status: 0 every record written, 1 otherwise.
#include <cstdlib>
#include <iostream>
#include <string>

#include <plixtrace/PlixWriter.hpp>

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "plixtrace";
    int count = argc > 2 ? std::atoi(argv[2]) : 3;

    plixtrace::Writer writer;
    if (plixtrace::Status status = writer.Open(name); !status) {
        std::cerr << "write_records: " << name << ": " << status.Message() << '\n';
        return 1;
    }
    writer.WaitWhenFull(1000);

    bool failed = false;
    for (int i = 1; i <= count; ++i) {
        // The text, a line feed and a NUL: the reader prints up to the NUL.
        std::string record = "C++ example record " + std::to_string(i) + "\n";
        record.push_back('\0');
        if (plixtrace::Status status = writer.Write(record); !status) {
            std::cerr << "write_records: record " << i << ": " << status.Message() << '\n';
            failed = true;
        }
    }
    std::cout << writer.Written() << " written, " << writer.Dropped() << " dropped\n";
    return failed ? 1 : 0;
}
