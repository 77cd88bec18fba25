// DEFLATE encoder, bit writer: packs bit fields into a 16-bit accumulator and moves it into
// the stream layer's outbuf, with the block writer's bi_buf and bi_valid (bw). Owns the input
// routine read_buf, which the encoder's caller installs.
// Bit order: RFC 1951 section 3.1.1; stored-block LEN/NLEN: section 3.2.4.
#include "deflate/deflate_internal.h"

#include <cstring>

constinit thread_local InputRoutine read_buf;

void bi_init(int zipfile) {
    (void)zipfile;  // the output goes through outbuf whatever the descriptor
    bw.bi_buf = 0;
    bw.bi_valid = 0;
}

void send_bits(int value, int length) {
    if (bw.bi_valid > BUF_SIZE - length) {
        // The field does not fit: fill the accumulator, write it, keep the rest.
        bw.bi_buf = static_cast<ush>(bw.bi_buf | (value << bw.bi_valid));
        put_output_short(bw.bi_buf);
        bw.bi_buf = static_cast<ush>(static_cast<ush>(value) >> (BUF_SIZE - bw.bi_valid));
        bw.bi_valid += length - BUF_SIZE;
    } else {
        bw.bi_buf = static_cast<ush>(bw.bi_buf | (value << bw.bi_valid));
        bw.bi_valid += length;
    }
}

unsigned bi_reverse(unsigned code, int len) {
    unsigned res = 0;
    do {
        res |= code & 1;
        code >>= 1;
        res <<= 1;
    } while (--len > 0);
    return res >> 1;
}

void bi_windup() {
    if (bw.bi_valid > 8) {
        put_output_short(bw.bi_buf);
    } else if (bw.bi_valid > 0) {
        put_output_byte(static_cast<uch>(bw.bi_buf));
    }
    bw.bi_buf = 0;
    bw.bi_valid = 0;
}

void copy_block(char *buf, unsigned len, int header) {
    bi_windup();
    if (header) {
        put_output_short(len & 0xffff);   // LEN: 16 bits
        put_output_short(~len & 0xffff);  // NLEN: 16 bits
    }
    // In pieces up to the flush point, so outbuf is written out at the same sizes as
    // byte by byte would write it, with a copy a piece instead of a call a byte.
    while (len != 0) {
        unsigned piece = OUTBUFSIZ - outcnt < len ? OUTBUFSIZ - outcnt : len;
        memcpy(outbuf + outcnt, buf, piece);
        outcnt += piece;
        buf += piece;
        len -= piece;
        if (outcnt == OUTBUFSIZ) flush_outbuf();
    }
}
