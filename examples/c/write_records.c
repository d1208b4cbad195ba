/* write_records: writes a few text records into a partition's trace queue through the writer
 * library's C interface, then says how many were written and dropped.
 *
 *   write_records [PARTITION [COUNT]]      (defaults: plixtrace, 3)
 *
 * The partition must exist (rthpart create plixtrace 65536); a partition that was never set
 * up gets an empty queue. Exit status: 0 every record written, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <plixtrace/plixwriter.h>

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "plixtrace";
    int count = argc > 2 ? atoi(argv[2]) : 3;

    plixw_writer* writer = NULL;
    int status = plixw_open(name, PLIXW_OPEN_INIT, &writer);
    if (status != PLIXW_OK) {
        fprintf(stderr, "write_records: %s: %s\n", name, plixw_strerror(status));
        return 1;
    }
    /* Wait up to a second for room rather than dropping. */
    plixw_set_full_policy(writer, PLIXW_FULL_WAIT, 1000);

    int failed = 0;
    for (int i = 1; i <= count; ++i) {
        char record[64];
        /* The text, a line feed and a NUL: the reader prints up to the NUL. */
        int length = snprintf(record, sizeof record, "C example record %d\n", i) + 1;
        status = plixw_write(writer, record, (uint32_t)length);
        if (status != PLIXW_OK) {
            fprintf(stderr, "write_records: record %d: %s\n", i, plixw_strerror(status));
            failed = 1;
        }
    }

    uint64_t written = 0, dropped = 0;
    plixw_written(writer, &written);
    plixw_dropped(writer, &dropped);
    printf("%llu written, %llu dropped\n", (unsigned long long)written,
           (unsigned long long)dropped);
    plixw_close(writer);
    return failed;
}
