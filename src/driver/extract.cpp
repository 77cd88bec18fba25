// Archive driver: extraction and listing entry points.
#include <cstdio>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

int do_decompress(const char *program) {
    fprintf(stderr, "%s: extraction is not available in this build\n", program);
    return -1;
}

void do_list(const char *path) {
    fprintf(stderr, "%s: listing is not available in this build\n", path);
    exit_code = 1;
}
