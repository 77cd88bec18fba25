// Stream state: the process-wide buffers, counters, descriptors and names that the DEFLATE
// decoder and encoder read and write through, with input refills, window and output flushing,
// complete writes, CRC-32 and the fatal exits. CRC-32: RFC 1952 section 8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "stream/rfc1951.h"
#include "support/err.h"

typedef uint8_t uch;
typedef uint16_t ush;
typedef unsigned long ulg;  // 64 bits on the x86-64 target
typedef void *voidp;
static_assert(sizeof(ulg) == 8, "ulg is the 64-bit unsigned type of the engine");

// Sizes of the static stream buffers.
// One input fill; the decoder's bit reader may look this far ahead of inptr.
inline constexpr unsigned INBUFSIZ = 0x8000;
inline constexpr unsigned INBUF_EXTRA = 64;  // spare bytes after a fill, never filled
// Encoder output is flushed at exactly OUTBUFSIZ; the spare bytes are never reached.
inline constexpr unsigned OUTBUFSIZ = 16384;
inline constexpr unsigned OUTBUF_EXTRA = 2048;
// The DEFLATE history: the farthest a distance reaches; the encoder keeps two halves.
inline constexpr unsigned WSIZE = MAX_DISTANCE;
// Names of inputs and outputs, including the terminating NUL.
inline constexpr unsigned NAME_BUF_SIZE = 1024;
static_assert(WSIZE == 32768 && INBUFSIZ == 32768, "sizes fixed by the stream format");

// Buffers (static, zero at start).
extern uch inbuf[INBUFSIZ + INBUF_EXTRA];
extern uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
extern uch window[2L * WSIZE];

// Counters, descriptors, names and settings.
extern unsigned insize;  // valid bytes in inbuf
extern unsigned inptr;   // next byte of inbuf to consume; never above insize
extern unsigned outcnt;  // pending bytes of outbuf (encoding) or window (decoding)
extern long bytes_in;    // input bytes read (decoding: whole fills)
extern long bytes_out;   // bytes written by flush_window / flush_outbuf
extern int ifd;
extern int ofd;
extern char ifname[NAME_BUF_SIZE];
extern char ofname[NAME_BUF_SIZE];
extern int exit_code;
extern int level;  // always 9
// 1 while a member is decoded only to be checked: flush_window checksums and counts the
// window but writes nothing.
extern int check_only;

// Input side.
int fill_inbuf(int eof_ok);
// The next input byte; end of input is fatal.
inline int next_input_byte() {
    return inptr < insize ? inbuf[inptr++] : fill_inbuf(0);
}

// Output side.
void flush_window();
void flush_outbuf();
inline void put_output_byte(uch b) {
    outbuf[outcnt++] = b;
    if (outcnt == OUTBUFSIZ) flush_outbuf();
}
inline void put_output_short(unsigned w) {
    if (outcnt < OUTBUFSIZ - 2) {
        outbuf[outcnt++] = static_cast<uch>(w & 0xff);
        outbuf[outcnt++] = static_cast<uch>((w >> 8) & 0xff);
    } else {
        put_output_byte(static_cast<uch>(w & 0xff));
        put_output_byte(static_cast<uch>((w >> 8) & 0xff));
    }
}
inline void put_output_long(ulg n) {
    put_output_short(static_cast<unsigned>(n & 0xffff));
    put_output_short(static_cast<unsigned>((n >> 16) & 0xffff));
}
// Writes all n bytes, waiting for a non-blocking fd to drain; false on a write error (errno
// set). write_buf does the same and ends the process on an error.
bool write_all(int fd, const void *buf, size_t n);
void write_buf(int fd, voidp buf, unsigned cnt);

// CRC-32 (RFC 1952 section 8): one process-wide register.
extern const std::array<ulg, 256> crc_32_tab;
ulg updcrc(const uch *s, unsigned n);
// The same register update on the portable table path only (tests compare both paths).
ulg crc32_portable(ulg c, const uch *s, unsigned n);
// CRC-32 of p[0..n) continuing crc (0 to start), apart from the process-wide register.
uint32_t crc32_of(uint32_t crc, const void *p, size_t n);

// Output to a reader that may stop before the end (the extraction command's pipe). While
// fd == ofd, a write that finds no reader left (EPIPE) does not end the process: the rest of
// the output is still decoded and checked, but not written. What the reader never read is
// then known exactly: the bytes still in the pipe when it went, which are the last ones
// written, and everything after them.
struct PipeOutput {
    int fd = -1;                 // the pipe, or -1
    bool reader_gone = false;    // a write found no reader; nothing more is written
    unsigned long zero_run = 0;  // zero bytes that end the output so far
    bool lost_data = false;      // a byte other than zero was never read
};
extern PipeOutput pipe_output;
// Writes p[0..n) to ofd, through pipe_output's rules when ofd is its pipe.
void write_output(const uch *p, unsigned n);
// Called when the reader of pipe_output.fd is gone with unread bytes still in the pipe:
// records whether any of them was not a zero byte.
void pipe_output_unread(unsigned long unread);

// Proof that a second pass over the input reads what a first pass checked. RECORD keeps a
// CRC-32 of every stretch of input that fill_inbuf reads; VERIFY compares each stretch with
// its record as soon as it is complete, before the decoder uses a byte of it when a stretch
// is one fill, and ends the process when they differ. Both passes start on the same byte with
// empty buffers, so their fills fall on the same offsets.
enum class GuardMode { Off, Record, Verify };
// Stretches recorded: one CRC each. 2^17 of them cover 4 GiB of input in stretches of one
// fill (INBUFSIZ); a longer input has stretches of several fills. The table is static and
// only the entries used are ever touched (4 bytes per fill).
inline constexpr size_t GUARD_STRETCHES = size_t{1} << 17;
// Starts recording an input of about `size` bytes, or verifying what was recorded.
void input_guard_record(unsigned long size);
void input_guard_verify();
void input_guard_off();

// While set, fill_observer sees the bytes of every fill of inbuf and write_observer those of
// every write_all, in order: the driver's signatures hash what a pass reads or writes.
extern void (*fill_observer)(const uch *p, unsigned n);
extern void (*write_observer)(const void *p, size_t n);

// Fatal exits: print, then abort_gzip (exit status 1).
[[noreturn]] void error(const char *m);
[[noreturn]] void read_error();
[[noreturn]] void write_error();
[[noreturn]] void abort_gzip();

void display_ratio(long num, long den, FILE *file);
void clear_bufs();
char *gz_basename(char *fname);

// Stream utilities that the program itself does not call.
char *strlwr(char *s);
void make_simple_name(char *name);
void warn(const char *a, const char *b);
int copy(int in, int out);
voidp xmalloc(unsigned size);
char *add_envopt(int *argcp, char ***argvp, const char *env);
