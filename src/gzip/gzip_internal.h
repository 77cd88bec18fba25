// gzip members, internals: the reader of a zip file's first entry, which the program itself
// does not call, and the state it leaves for unzip; the member decoder and tests include it.
#pragma once

#include "gzip/gzip.h"

// Reads a zip local file header at inptr; 0 when unzip can decode the entry after it.
int check_zipfile(int in);
extern int pkzip;       // set by check_zipfile: unzip reads a zip entry
extern int ext_header;  // the zip entry's CRC and sizes follow its data
extern int decrypt;     // the zip entry is encrypted
