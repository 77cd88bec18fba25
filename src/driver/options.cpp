// Archive driver: the process-wide option settings written by the command line.
#include "driver/kelpa.h"

int extract_only;
int dont_run_program;
char kelpa_path[PREAMBLE_STR_SIZE];
char uncompress_dir[PREAMBLE_STR_SIZE];
const char scid[64] = "@(#) kelpa 1.2.1    6/6/2001 ";
const char *F_OEM = "KV_VENDOR=";
