// Archive driver: the process-wide option settings written by the command line.
#include "driver/kelpa.h"

int to_stdout;
int list;
int verbose;
int extract_only;
int dont_run_program;
char kelpa_path[PREAMBLE_STR_SIZE];
char uncompress_dir[PREAMBLE_STR_SIZE];
// The version comes from the project's one version number (CMakeLists.txt).
const char scid[64] = "@(#) kelpa " KELPA_VERSION "    6/6/2001 ";
const char *F_OEM = "KV_VENDOR=";
