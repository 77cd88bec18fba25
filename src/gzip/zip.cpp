// gzip members, the member writer: one gzip member per input file (header, DEFLATE data
// from the encoder, trailer) and the encoder's input routine. Owns the member's CRC.
// Member layout: RFC 1952 sections 2.2 and 2.3.1.
#include <cerrno>
#include <unistd.h>

#include "deflate/deflate.h"
#include "gzip/gzip.h"
#include "support/progress.h"

namespace {

ulg crc;  // CRC-32 of the member's input read so far, complemented

}  // namespace

int zip(int in, int out) {
    ush attr = 0;  // binary: no text classification
    ush deflate_flags = 0;

    ifd = in;
    ofd = out;
    method = CM_DEFLATE;

    // ID1, ID2, CM, FLG, MTIME: written straight into the empty outbuf.
    outbuf[0] = ID1;
    outbuf[1] = ID2;
    outbuf[2] = CM_DEFLATE;
    outbuf[3] = save_orig_name ? FNAME : 0;
    outbuf[4] = static_cast<uch>(time_stamp & 0xff);  // MTIME: 4 bytes little-endian
    outbuf[5] = static_cast<uch>((time_stamp >> 8) & 0xff);
    outbuf[6] = static_cast<uch>((time_stamp >> 16) & 0xff);
    outbuf[7] = static_cast<uch>((time_stamp >> 24) & 0xff);
    outcnt = 8;

    crc = updcrc(nullptr, 0);
    bi_init(out);
    read_buf = file_read;
    ct_init(&attr, &method);
    lm_init(level, &deflate_flags);  // first read: the CRC and bytes_in count from here

    put_output_byte(static_cast<uch>(deflate_flags));  // XFL
    put_output_byte(OS_UNIX);                           // OS
    if (save_orig_name) {
        const char *p = gz_basename(ifname);
        do put_output_byte(static_cast<uch>(*p));  // FNAME, with its NUL
        while (*p++);
    }

    deflate();

    put_output_long(crc);       // CRC32
    put_output_long(static_cast<ulg>(bytes_in));  // ISIZE: running total, modulo 2^32
    flush_outbuf();
    return 0;
}

int file_read(char *buf, unsigned size) {
    ssize_t len;
    do len = read(ifd, buf, size);
    while (len < 0 && errno == EINTR);
    if (len == 0) return 0;
    // A read error must not pass for the end of the input: the member would hold a
    // silently truncated file with a trailer that matches the truncation.
    if (len < 0) read_error();
    crc = updcrc(reinterpret_cast<uch *>(buf), static_cast<unsigned>(len));
    bytes_in += len;
    progress_tick(static_cast<unsigned long>(bytes_in));
    return static_cast<int>(len);
}
