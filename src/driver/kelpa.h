// Archive driver: the preamble strings, option flags and the routines of start-up, archive
// layout, feature list, command templates, building, extraction and listing.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdio>

#include "sig/sig.h"
#include "support/err.h"  // print_visible, print_text

// Every preamble string and option argument holds at most 1023 characters and its NUL.
inline constexpr size_t PREAMBLE_STR_SIZE = 1024;
// The marker "kelpa+magik" that ends the stub; never stored as one sequence (see get_eop).
inline constexpr size_t EOP_SIZE = 11;
// find_program's result: a resolved path of at most 1024 characters and its NUL.
inline constexpr size_t PROGRAM_PATH_SIZE = 1025;
// The marker scan reads MARKER_SCAN_READ bytes at a time into an MARKER_SCAN_SIZE buffer.
inline constexpr size_t MARKER_SCAN_SIZE = 8192;
inline constexpr size_t MARKER_SCAN_READ = MARKER_SCAN_SIZE - 1;
// The NAME item: "NAME=" and a base name of up to NAME_MAX (255) bytes, the longest name a
// directory entry can hold, and its NUL.
inline constexpr size_t NAME_KEY_LEN = sizeof "NAME=" - 1;
inline constexpr size_t NAME_ITEM_SIZE = NAME_KEY_LEN + NAME_MAX + 1;
// get_feature's copy: at most FEATURE_STR_SIZE - 1 characters and its NUL; it holds a whole
// NAME item, so the payload's name is never cut.
inline constexpr size_t FEATURE_STR_SIZE = NAME_ITEM_SIZE;
static_assert(FEATURE_STR_SIZE >= NAME_ITEM_SIZE, "a looked-up NAME item must not be cut");
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
extern long preamble_start;  // file offset of the feature list: just past the marker
extern long preamble_end;
extern char eop[EOP_SIZE];

// Option flags.
extern int to_stdout;
extern int list;
extern int verbose;
extern int extract_only;
extern int dont_run_program;
extern char kelpa_path[PREAMBLE_STR_SIZE];
extern char uncompress_dir[PREAMBLE_STR_SIZE];
extern const char scid[64];
extern const char *F_OEM;

// Archive layout and preamble locator.
void get_eop();
// Resolves a program name as exec would: a name with a '/' is returned as it stands (copied),
// a bare name is searched on PATH alone for an executable regular file. NULL when none.
char *find_program(const char *ref);
// Opens the running program's own file read-only: the file the kernel started where /proc
// shows it, else progname resolved by find_program. -1 when neither can be opened.
int open_own_file();
// "progname: NAME: text" and a newline, the name made visible.
void say_named(const char *name, const char *text);
// perror for a name from the command line or an archive: the name made visible, ": ", the
// text of errno, a newline.
void perror_visible(const char *name);
// The marker scan: advances the match state e (marker bytes matched so far, below
// EOP_SIZE) over p[0..n). A byte that breaks a partial match is not compared with the
// marker's first byte again; archives rely on the first occurrence found this way. Returns
// the offset just past the marker when e reaches EOP_SIZE, else n.
size_t scan_for_marker(const char *p, size_t n, size_t &e);
// Opens the archive and loads its preamble (see read_preamble). program == progname, the very
// pointer, means the program's own file (open_own_file); any other name is a file path opened
// as it stands. Failures to find or open are reported; -1 then.
int find_preamble(const char *program);
// Scans the open file fd for the marker, loads the four preamble strings and returns fd
// positioned at the payload; closes fd and returns -1 when there is no marker (silently) or a
// string is too long (reported with name).
int read_preamble(int fd, const char *name);

// Feature list and command templates.
// Appends f to the feature list; returns -1 (and leaves the list unchanged) when the list
// would exceed PREAMBLE_STR_SIZE - 1 characters.
int add_feature(const char *f);
char *get_feature(const char *f);
int strtrim(char *s);
// Expanded copy of pgm (free it), or NULL after one line on stderr that names pgm and says
// why it is not to be run. "%o" and "%p" become the output name and the working directory,
// written so that the shell reads exactly their bytes where pgm puts them: a value made only
// of letters, digits and _ . / - + , : @ = as it is (quoted only where bare it could become
// a reserved word or an assignment, or follow a '~' or fall into a {a,b} list); otherwise
// in '...' on a command line, with '\'' inside '...', escaped inside "..." and an unquoted
// here-document, as '...' between a closed and a reopened $'...', inside "..." in the word
// of ${V:-word}, and with the escapes that each enclosing `...` removes. Such a value is
// refused where no writing is safe (a newline in a comment or a here-document, anything in
// $((...)) or a ${V#pattern}, right after a '$' or a backslash that would take its first
// byte) and, from the byte on, wherever the shell's reading is not followed (an unknown or
// bash-only construct, nesting deeper than 16); there, after a "<<", even a plain value is
// refused, as it could end a here-document. Also NULL when the expansion exceeds 2047 bytes
// or the working directory cannot be obtained.
char *replace_program_parms(const char *pgm);

// The check item, in the feature list of every archive the builder writes, last but for a
// signature item: CHECK_KEY and CHECK_DIGITS lowercase hex digits of a CRC-32 over the four
// preamble strings with their NULs (the digits taken as '0', a signature item's text as 'A')
// and the first member's header (nothing for a raw payload).
inline constexpr char CHECK_KEY[] = "KELPA_CRC=";
inline constexpr size_t CHECK_DIGITS = 8;
// Appends the check item for a payload whose first member header is hdr[0..hdr_len), and
// after it, when sign is set, a signature item whose text is SIG_TEXT_SIZE 'A's (see
// SIG_KEY); -1 when they do not fit into the feature list.
int add_check_item(const unsigned char *hdr, size_t hdr_len, bool sign);
// Compares the check item, once the preamble is loaded and, for a compressed payload, the
// member header was read from empty buffers by get_method. 1: it matches; 0: the archive has
// none (built before it existed); -1: it does not match (reported with archive's name).
int check_preamble(const char *archive, bool compressed);

// The signature item: SIG_KEY and the SIG_TEXT_SIZE base64 characters of an SSHSIG blob
// (sig/sig.h), the last item of the feature list. It signs the whole archive file but those
// characters: with p the offset of the NUL that ends the feature list and v = p -
// SIG_TEXT_SIZE, the bytes [0, v) and then [p, end of file). The check item's CRC takes the
// characters as 'A', so that signing leaves it as it is.
inline constexpr char SIG_KEY[] = "KELPA_SIG=";
inline constexpr char SIG_PLACEHOLDER = 'A';
// The signature's text in features, found by structure alone: the list's last SIG_TEXT_SIZE
// characters, all base64, right after ",KELPA_SIG=". nullptr when the list does not end so.
const char *find_sig_text();
// Hands the bytes [from, to) of the file fd (to < 0: up to its end), read with pread, to
// take in pieces; false on a read error or a file shorter than to, with errno set.
bool read_file_range(int fd, long from, long to, void (*take)(const uint8_t *p, size_t n));

// KELPA_VERIFY_KEY's public key, a "ssh-ed25519 AAAA..." line or the name of a file that
// holds one: 0 when the variable is not set, 1 when key holds it, -1 after saying why not.
int load_verify_key(uint8_t key[32]);
// The check of a signature by key, before anything of the archive fd is acted on (its preamble
// loaded): begin reads the signature, refuses an unsigned archive, a signature it cannot read
// and one by another key, and hashes the file up to the payload, comparing what follows the
// slot with the preamble in memory; the header of a compressed payload, read from empty
// buffers, goes to sig_check_header; every fill of the integrity pass after it is hashed as
// it is read; end hashes the rest of the file and checks the signature. 0, or -1 after
// saying why.
int sig_check_begin(const char *archive, int fd, const uint8_t key[32]);
void sig_check_header(const unsigned char *hdr, size_t len);
int sig_check_end(const char *archive, int fd, const uint8_t key[32]);
// The whole check at once, reading the file with pread (the listing): 0, or -1 after saying
// why.
int sig_check_file(const char *archive, int fd, const uint8_t key[32]);
// The listing's line for the signature of an archive whose preamble is loaded, if it has
// one: the key's fingerprint, whether it was verified, and where its text is in the file.
void list_signature(bool verified);

// Signing. KELPA_SIGN_KEY names an OpenSSH private key file, or a ".pub" file whose secret key
// is in ssh-agent; ssh-keygen (found on PATH, or the program KELPA_SSH_KEYGEN names) signs
// with it, and kelpa checks what it returns against the key's public half (the ".pub" file,
// else what `ssh-keygen -y` prints) and the message's hash before the text goes into the
// signature item. A seekable regular output is written once and signed from what it holds;
// any other is written twice, first only into ssh-keygen, then with the signature, and the
// two must hash alike. Returns write_archive's status, 1 after reporting when the archive
// could not be signed (a file then keeps the placeholder), or -1 when nothing was written.
int sign_archive(const char *key, int argc, char **argv);

// Sizes of what stub_interpreter copies out, each with its NUL: an interpreter's path (a
// longer one is cut) and a version name such as "GLIBC_2.34".
inline constexpr size_t STUB_INTERP_SIZE = 256;
inline constexpr size_t STUB_VERSION_SIZE = 32;
// True when the stub (n bytes in memory) is an ELF-64 file that names a program interpreter,
// so that it starts only where that interpreter and its libraries are: the interpreter's path
// goes into interp and the newest C library version it asks for into version ("" when the
// headers tell none). False for a static program and for what is not ELF-64.
bool stub_interpreter(const char *stub, size_t n, char *interp, size_t interp_size, char *version,
                      size_t version_size);
// The ELF e_machine of the stub (n bytes in memory), 0 when it is not a little-endian ELF-64
// file; the one this kelpa is built for (0 when unknown); a name for it, or NULL.
unsigned stub_machine(const char *stub, size_t n);
unsigned own_machine();
const char *machine_name(unsigned machine);

// Building.
// Writes stub, marker and preamble; 0 on success, -1 after reporting the reason. The stub is
// the file at path, or the program's own file when path is empty. An empty stub and a stub
// that is fd's own file are refused.
int build_preamble(const char *path, int fd);
// The known feature key that the item item[0..len) would be taken for by an extractor that
// finds keys anywhere in the list, though it is not that item: a key after the item's start,
// or a bare key (NOCOMPR) that begins a longer item. NULL when every extractor reads the item
// alike.
const char *key_read_two_ways(const char *item, size_t len);
// Writes stub, marker, preamble and each input (the operands that are NULL are skipped) to
// ofd; returns exit_code, or -1 when the head could not be written (reported).
int write_archive(int argc, char **argv);
// Builds an archive of the operands to standard output, which must not be a terminal;
// returns the exit status. The operands that could not be stored become NULL.
int build_archive(int argc, char **argv);

// Extraction and listing.
int do_decompress(const char *program);
void do_list(const char *path);

// Paths of the space verification: the target, the extraction directory, the link name and
// the candidate directory. At most 511 characters and the NUL; longer values are refused.
inline constexpr size_t VFY_PATH_SIZE = 512;
// The VFYFS value (at most 127 characters) and the FSSUB value (at most 255).
inline constexpr size_t VFY_FS_SIZE = 128;
inline constexpr size_t VFY_FSSUB_SIZE = 256;
// Answer to the link prompt: one line of at most 3 characters, its newline and NUL.
inline constexpr size_t VFY_ANSWER_SIZE = 5;
// Answer to the post-extraction prompt: lines of up to 510 characters.
inline constexpr size_t CONFIRM_LINE_SIZE = 512;

// The temporary link made by the space verification; empty when there is none (it names the
// link only once the link exists). Removed by do_decompress when extraction ends.
extern char sympath[VFY_PATH_SIZE];

// Space verification and relocation. Runs when the feature list has a "VFYFS=" item; fd is
// the archive, positioned where extraction goes on, and is left there; size is the exact
// number of bytes extraction will write. 0: go on extracting (with sympath naming the link
// when one was made); -1: refuse, after any message.
int verify_fs(int fd, unsigned long size);
// Megabytes needed for size bytes: (size >> 20) + 1, at most INT_MAX.
int megs_for_size(unsigned long size);

// Post-extraction step and its parts.
// Exports every feature item to the environment; a bare KEY becomes "KEY=".
void export_features();
// Runs the post-extraction command (already expanded), asking first when verbose: reads the
// answer from in when in_is_tty, else refuses. Returns system()'s status, or 0 when declined.
int confirm_and_run(const char *cmd, FILE *in, int in_is_tty);
// Makes a stored output name safe for the shell command line: keeps its base name and
// replaces with '_' every byte below 0x80 outside [A-Za-z0-9._+,@%=:-], and a leading '-'.
// Returns -1 for a name that is empty, "." or ".." once reduced, else the number of
// characters replaced.
int make_safe_name(char *name);
