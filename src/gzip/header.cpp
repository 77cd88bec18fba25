// gzip members: the member header reader. Owns the member's fields (method, time_stamp,
// part_nb, header_bytes, save_orig_name) and the settings its caller fills in
// (member_settings), and fills in ofname.
// Member header layout: RFC 1952 section 2.3.1.
#include <cstring>

#include "gzip/gzip.h"

long header_bytes;
int method = CM_DEFLATE;
int save_orig_name = 1;
long time_stamp;
int part_nb;
int last_member;
MemberSettings member_settings;

namespace {

// Reads a little-endian 16-bit field through the input buffer.
unsigned read_le16() {
    unsigned lo = static_cast<unsigned>(next_input_byte());
    return lo | static_cast<unsigned>(next_input_byte()) << 8;
}

// Reads and discards a NUL-terminated field (FNAME when not kept, FCOMMENT).
void skip_zero_terminated() {
    while (next_input_byte() != 0) {
    }
}

}  // namespace

int get_method(int in) {
    (void)in;  // every byte comes through inbuf from ifd
    // ID1, ID2: 1 byte each
    int id1 = next_input_byte();
    int id2 = next_input_byte();

    part_nb++;
    method = -1;
    header_bytes = 0;
    last_member = 0;

    if (id1 != ID1 || (id2 != ID2 && id2 != ID2_OLD)) {
        fprintf(stderr, "%s: can only handle GZIP compression method\n", progname);
        exit_code = 1;
        return -1;
    }
    // CM: 1 byte
    method = next_input_byte();
    if (method != CM_DEFLATE) {
        fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", progname,
                ifname, method);
        exit_code = 1;
        return -1;
    }
    // FLG: 1 byte; reserved bits are not checked
    unsigned flags = static_cast<unsigned>(next_input_byte());

    // MTIME: 4 bytes little-endian; 0 means "no time stamp"
    ulg stamp = read_le16();
    stamp |= static_cast<ulg>(read_le16()) << 16;
    if (stamp != 0) time_stamp = static_cast<long>(stamp);

    // XFL, OS: 1 byte each, not used
    next_input_byte();
    next_input_byte();

    if (flags & FHCRC) {
        // part number: 2 bytes little-endian (read in place of a header CRC)
        unsigned part = read_le16();
        if (member_settings.verbose)
            fprintf(stderr, "%s: %s: part number %u\n", progname, ifname, part);
    }
    if (flags & FEXTRA) {
        // XLEN: 2 bytes little-endian, then XLEN bytes
        unsigned len = read_le16();
        if (member_settings.verbose)
            fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", progname, ifname, len);
        while (len--) next_input_byte();
    }
    if (flags & FNAME) {
        if ((member_settings.to_stdout && !member_settings.list) || part_nb > 1) {
            skip_zero_terminated();
        } else {
            // The name is kept exactly as stored (the listing shows it so); the extraction
            // driver makes it safe before it reaches a command line. It is collected into a
            // scratch buffer so that a name too long leaves ofname untouched.
            char name[NAME_BUF_SIZE];
            for (unsigned i = 0;; i++) {
                int c = next_input_byte();
                name[i] = static_cast<char>(c);
                if (c == 0) break;
                // i == NAME_BUF_SIZE - 1: the 1024th character took the NUL's place
                if (i + 1 >= NAME_BUF_SIZE) error("corrupted input -- file name too large");
            }
            strcpy(to_basename(ofname), name);
        }
    }
    if (flags & FCOMMENT) skip_zero_terminated();

    if (part_nb == 1) header_bytes = static_cast<long>(inptr) + 16;
    return method;
}
