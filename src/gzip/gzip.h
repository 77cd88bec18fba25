// gzip members: the header reader, the member decoder and the member writer, and the
// settings they read. Member format: RFC 1952 section 2.3.
#pragma once

#include "stream/rfc1952.h"
#include "stream/stream.h"

// Set by the header reader (or the writer's caller) for the member at hand.
extern long header_bytes;  // header length + 16, set by get_method
extern int method;         // 8, or -1 while a header is read
extern int save_orig_name;
extern long time_stamp;
extern int part_nb;
extern int last_member;
// What the caller asks of the header reader and the member decoder, filled in before a
// member is read; named after the command-line flags they follow.
struct MemberSettings {
    int to_stdout;  // output goes to standard output: a stored name is skipped, not taken
    int list;       // listing: the stored name is taken even so, to be shown
    int verbose;    // the header reader says which optional fields it skips
};
extern MemberSettings member_settings;

// Member header reader, decoder and writer.
int get_method(int in);
int unzip(int in, int out);
// Decodes the member whose body starts at the next input byte without writing any of it,
// checking its CRC and length as unzip does (damage ends the process the same way), then
// puts the input back on the body's first byte with empty buffers. Returns the exact decoded
// size, which the trailer's ISIZE keeps only modulo 2^32, and in *member_end the file offset
// just past the trailer. in must be seekable. The check reads the body from its first byte
// with empty buffers, as the decoding after it does.
long check_member(int in, long *member_end);
int zip(int in, int out);
// The header zip writes for an input whose base name is name: the fixed part, then FNAME with
// its NUL. Returns its length, or 0 when it does not fit into buf[0..size).
size_t member_header(uch *buf, size_t size, const char *name);
// The longest header member_header writes: the fixed part and a name of NAME_BUF_SIZE bytes.
inline constexpr size_t MEMBER_HEADER_MAX = HEADER_FIXED_SIZE + NAME_BUF_SIZE;
int file_read(char *buf, unsigned size);
