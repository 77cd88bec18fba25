// gzip stream layer: the member header reader. Owns no state beyond the header counter
// part_nb and the fields it fills in (method, time_stamp, ofname, header_bytes).
// Member header layout: RFC 1952 section 2.3.1.
#include <cstring>

#include "gzip/gzip.h"

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

// The stored name reaches a shell command line when the extraction command is expanded, so
// only a plain file name in the target directory is kept: the directory part is dropped (the
// builder stores base names only) and bytes the shell would act on become '_'. Bytes from
// 0x80 up are kept, so UTF-8 names survive.
bool shell_safe_byte(unsigned char c) {
    if (c < 0x20 || c == 0x7f) return false;
    return strchr(" !\"#$&'()*;<>?[\\]`{|}~", c) == nullptr;
}

// Cuts name to its last component and neutralises it in place; false when nothing usable
// remains (empty, "." or ".."), in which case the caller keeps its default output name.
bool neutralise_name(char *name) {
    to_basename(name);
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
    for (char *p = name; *p; ++p)
        if (!shell_safe_byte(static_cast<unsigned char>(*p))) *p = '_';
    return true;
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
        fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", progname, ifname,
                method);
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
        if (verbose) fprintf(stderr, "%s: %s: part number %u\n", progname, ifname, part);
    }
    if (flags & FEXTRA) {
        // XLEN: 2 bytes little-endian, then XLEN bytes
        unsigned len = read_le16();
        if (verbose) fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", progname, ifname, len);
        while (len--) next_input_byte();
    }
    if (flags & FNAME) {
        if ((to_stdout && !list) || part_nb > 1) {
            skip_zero_terminated();
        } else {
            // Collect into a scratch buffer of the same size so that an unusable name leaves
            // the caller's default in place.
            char name[NAME_BUF_SIZE];
            for (unsigned i = 0;; i++) {
                int c = next_input_byte();
                name[i] = static_cast<char>(c);
                if (c == 0) break;
                // i == NAME_BUF_SIZE - 1: the 1024th character took the NUL's place
                if (i + 1 >= NAME_BUF_SIZE) error("corrupted input -- file name too large");
            }
            char *p = to_basename(ofname);
            if (neutralise_name(name)) strcpy(p, name);
        }
    }
    if (flags & FCOMMENT) skip_zero_terminated();

    if (part_nb == 1) header_bytes = static_cast<long>(inptr) + 16;
    return method;
}
