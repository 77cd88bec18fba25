// gzip members: the member decoder. Runs the DEFLATE decoder over one member body and
// checks the trailer; also the first-entry reader for zip local headers.
// Trailer: RFC 1952 section 2.3.1 (CRC32, ISIZE).
#include <cstring>
#include <unistd.h>

#include "gzip/gzip_internal.h"
#include "inflate/inflate.h"

int pkzip;       // the input is a zip local header (check_zipfile)
int ext_header;  // the zip entry's CRC and sizes follow its data
int decrypt;     // the zip entry is encrypted

namespace {

// Zip local file header (the zip application note): fixed offsets into the header.
constexpr ulg LOCSIG = 0x04034b50UL;  // "PK\3\4"
constexpr unsigned LOCFLG = 6;        // general purpose flags: bit 0 encrypted, bit 3 ext header
constexpr unsigned LOCHOW = 8;        // compression method
constexpr unsigned LOCCRC = 14;
constexpr unsigned LOCSIZ = 18;  // compressed size
constexpr unsigned LOCLEN = 22;  // uncompressed size
constexpr unsigned LOCFIL = 26;  // file name length
constexpr unsigned LOCEXT = 28;  // extra field length
constexpr unsigned LOCHDR = 30;  // size of the fixed part
constexpr unsigned EXTHDR = 16;  // data descriptor: signature, CRC, sizes
constexpr unsigned STORED = 0;

}  // namespace

int unzip(int in, int out) {
    ifd = in;
    ofd = out;
    updcrc(nullptr, 0);

    ulg orig_crc = 0;
    ulg orig_len = 0;
    if (pkzip && !ext_header) {
        orig_crc = get_le32(inbuf + LOCCRC);
        orig_len = get_le32(inbuf + LOCLEN);
    }

    if (method == CM_DEFLATE) {
        int res = inflate();
        if (res == 3) error("out of memory");
        if (res != 0) error("invalid compressed data--format violated");
    } else if (pkzip && method == static_cast<int>(STORED)) {
        ulg n = get_le32(inbuf + LOCLEN);
        ulg siz = get_le32(inbuf + LOCSIZ) - (decrypt ? 12 : 0);
        if (n != (siz & 0xffffffffUL)) {
            fprintf(stderr, "len %ld, siz %ld\n", static_cast<long>(n), static_cast<long>(siz));
            error("invalid compressed data--length mismatch");
        }
        while (n--) {
            window[outcnt++] = static_cast<uch>(next_input_byte());
            if (outcnt == WSIZE) flush_window();
        }
        flush_window();
    } else {
        error("internal error, invalid method");
    }

    if (!pkzip) {
        uch buf[TRAILER_SIZE];
        for (unsigned i = 0; i < TRAILER_SIZE; i++) buf[i] = static_cast<uch>(next_input_byte());
        orig_crc = get_le32(buf);
        orig_len = get_le32(buf + TRAILER_ISIZE);
    } else if (ext_header) {
        uch buf[EXTHDR];
        for (unsigned i = 0; i < EXTHDR; i++) buf[i] = static_cast<uch>(next_input_byte());
        orig_crc = get_le32(buf + 4);
        orig_len = get_le32(buf + 12);
    }

    // The CRC register holds exactly the bytes written; compare it first.
    if (orig_crc != updcrc(window, 0)) error("invalid compressed data--crc error");
    if (orig_len != (static_cast<ulg>(bytes_out) & 0xffffffffUL))
        error("invalid compressed data--length error");

    if (pkzip && inptr + 4 < insize && get_le32(inbuf + inptr) == LOCSIG) {
        if (member_settings.to_stdout) {
            fprintf(stderr, "%s: %s has more than one entry--rest ignored\n", progname, ifname);
            if (exit_code == 0) exit_code = 2;
        } else {
            fprintf(stderr, "%s: %s has more than one entry -- unchanged\n", progname, ifname);
            exit_code = 1;
            ext_header = pkzip = 0;
            return 1;
        }
    }
    ext_header = pkzip = 0;
    return 0;
}

int check_zipfile(int in) {
    ifd = in;
    // The fixed part must be buffered before any of its fields is read.
    if (inptr + LOCHDR > insize) {
        fprintf(stderr, "\n%s: %s: not a valid zip file\n", progname, ifname);
        exit_code = 1;
        return 1;
    }
    const uch *h = inbuf + inptr;
    inptr += LOCHDR + static_cast<unsigned>(get_le16(h + LOCFIL) + get_le16(h + LOCEXT));
    if (inptr > insize || get_le32(h) != LOCSIG) {
        fprintf(stderr, "\n%s: %s: not a valid zip file\n", progname, ifname);
        exit_code = 1;
        return 1;
    }
    method = h[LOCHOW];
    if (method != static_cast<int>(STORED) && method != CM_DEFLATE) {
        fprintf(stderr, "\n%s: %s: first entry not deflated or stored -- use unzip\n", progname,
                ifname);
        exit_code = 1;
        return 1;
    }
    if ((decrypt = h[LOCFLG] & 1) != 0) {
        fprintf(stderr, "\n%s: %s: encrypted file -- use unzip\n", progname, ifname);
        exit_code = 1;
        return 1;
    }
    ext_header = (h[LOCFLG] & 8) != 0;
    pkzip = 1;
    return 0;
}

long check_member(int in, long *member_end) {
    // The file offset of the body's first byte: what was read, less what is still buffered.
    off_t at = lseek(in, 0, SEEK_CUR);
    if (at < 0) read_error();
    const off_t body = at - static_cast<off_t>(insize - inptr);
    const long in_before = bytes_in - static_cast<long>(insize - inptr);
    const long out_before = bytes_out;

    // The check reads from the body's first byte with empty buffers, as the extraction after
    // it does, so that both read the same fills (see the input guard).
    if (lseek(in, body, SEEK_SET) != body) read_error();
    insize = inptr = 0;
    check_only = 1;
    bytes_out = 0;
    unzip(in, ofd);
    check_only = 0;
    const long size = bytes_out;
    const off_t end = lseek(in, 0, SEEK_CUR);
    if (end < 0) read_error();
    *member_end = static_cast<long>(end - static_cast<off_t>(insize - inptr));

    if (lseek(in, body, SEEK_SET) != body) read_error();
    insize = inptr = 0;
    outcnt = 0;
    bytes_in = in_before;
    bytes_out = out_before;
    return size;
}
