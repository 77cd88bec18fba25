// Archive driver: the preamble strings, option flags and the routines of start-up, archive
// layout, feature list, command templates, building, extraction and listing.
#pragma once

#include <cstddef>

// Every preamble string and option argument holds at most 1023 characters and its NUL.
inline constexpr size_t PREAMBLE_STR_SIZE = 1024;
// The marker "kelpa+magik" that ends the stub; never stored as one sequence (see get_eop).
inline constexpr size_t EOP_SIZE = 11;
// find_program's result: a resolved path of at most 1024 characters and its NUL.
inline constexpr size_t PROGRAM_PATH_SIZE = 1025;
// The marker scan reads MARKER_SCAN_READ bytes at a time into an MARKER_SCAN_SIZE buffer.
inline constexpr size_t MARKER_SCAN_SIZE = 8192;
inline constexpr size_t MARKER_SCAN_READ = MARKER_SCAN_SIZE - 1;
// get_feature's copy: at most 255 characters and its NUL.
inline constexpr size_t FEATURE_STR_SIZE = 256;
// An expanded command template: at most 2047 characters and its NUL.
inline constexpr size_t EXPANDED_CMD_SIZE = 2048;
// Feature items formed from options ("%s%s" of key and argument) and the raw copy chunk.
inline constexpr size_t ITEM_BUF_SIZE = 256;
// Raw payload copy chunk during extraction.
inline constexpr size_t RAW_COPY_SIZE = 512;

inline constexpr const char *DEFAULT_COMMENT = "Self-Extracting archive file";
inline constexpr const char *DEFAULT_PIPE_PROGRAM = "cat > %p/%o";

// Preamble strings (loaded by find_preamble, filled by the builder's options).
extern char features[PREAMBLE_STR_SIZE];
extern char comment[PREAMBLE_STR_SIZE];
extern char run_program[PREAMBLE_STR_SIZE];
extern char pipe_program[PREAMBLE_STR_SIZE];
extern long preamble_end;
extern char eop[EOP_SIZE];

// Option flags (verbose, to_stdout and list live in the stream layer).
extern int extract_only;
extern int dont_run_program;
extern char kelpa_path[PREAMBLE_STR_SIZE];
extern char uncompress_dir[PREAMBLE_STR_SIZE];
extern const char scid[64];
extern const char *F_OEM;

// Archive layout and preamble locator.
void get_eop();
char *find_program(const char *ref);
int find_preamble(const char *program);

// Feature list and command templates.
// Appends f to the feature list; returns -1 (and leaves the list unchanged) when the list
// would exceed PREAMBLE_STR_SIZE - 1 characters.
int add_feature(const char *f);
char *get_feature(const char *f);
int strtrim(char *s);
// Expanded copy of pgm (free it), or NULL when the expansion does not fit or the working
// directory cannot be obtained.
char *replace_program_parms(const char *pgm);

// Building.
// Writes stub, marker and preamble; 0 on success, -1 after reporting the reason.
int build_preamble(const char *path, int fd);
// Builds an archive of the operands to standard output; returns the exit status.
int build_archive(int argc, char **argv);

// Extraction and listing.
int do_decompress(const char *program);
void do_list(const char *path);
