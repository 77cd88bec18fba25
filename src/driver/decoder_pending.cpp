// Archive driver: stand-ins for the member header reader and decoder until they land in the
// stream layer; compressed archives are refused with a message.
#include <cstdio>

#include "gzip/gzip.h"

int get_method(int) {
    fprintf(stderr, "%s: %s: compressed archives are not available in this build\n", progname,
            ifname);
    exit_code = 1;
    return -1;
}

int unzip(int, int) { error("compressed archives are not available in this build"); }
