// Support library: to_basename, which reduces a path to its last component in place.
#include "support/err.h"

#include <cstring>

char *to_basename(char *fname) {
    char *slash = strrchr(fname, '/');
    if (slash) memmove(fname, slash + 1, strlen(slash + 1) + 1);
    return fname;
}
