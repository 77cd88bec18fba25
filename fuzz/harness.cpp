// Fuzz harness support: scratch files and stream-state reset between runs.
#include "harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

const char *fuzz_scratch_file(const uint8_t *data, size_t size) {
    static char path[64];
    if (!path[0]) snprintf(path, sizeof path, "/tmp/kelpa-fuzz-%d.bin", static_cast<int>(getpid()));
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
    chmod(path, 0755);
    return path;
}

void fuzz_reset_streams() {
    clear_bufs();
    part_nb = 0;
    method = 8;
    exit_code = 0;
    to_stdout = 0;
    list = 0;
    verbose = 0;
    static char name[] = "kelpa";
    progname = name;
    strcpy(ifname, "fuzz-input");
    strcpy(ofname, "stdout");
}
