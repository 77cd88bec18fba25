// Archive driver: listing. Prints an archive's preamble strings and one statistics line for
// its payload (sizes, ratio, stored name; method, CRC and date when verbose), with control
// characters from the archive made visible. Owns the flag that prints the column headers
// once per process.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "driver/kelpa.h"
#include "gzip/gzip.h"

namespace {

int first_time = 1;

// Method names by the header's CM value (RFC 1952 2.3.1); only 8 is ever read.
const char *const methods[] = {"store", "compr", "pack ", "lzh  ", "", "", "", "", "defla"};
constexpr int METHOD_COUNT = sizeof methods / sizeof methods[0];

// ctime's "Www Mmm dd hh:mm:ss yyyy\n": month, day, hours and minutes start at 4, 12 long.
constexpr int CTIME_DATE_OFFSET = 4;
constexpr int LIST_DATE_LEN = 12;

// A label, then text from the archive made visible with its lines under the first, then a
// newline.
void print_line(const char *label, const char *text) {
    fputs(label, stdout);
    print_text(stdout, text, static_cast<int>(strlen(label)));
    putchar('\n');
}

}  // namespace

void do_list(const char *path) {
    int fd = find_preamble(path);
    if (fd < 0) {
        fprintf(stderr, "%s: unable to find preamble magic value\n", path);
        exit_code = 1;
        return;
    }
    ifd = fd;
    snprintf(ifname, sizeof ifname, "%s", path);
    ofd = fileno(stdout);
    strcpy(ofname, "stdout");

    const bool compressed = get_feature("NOCOMPR") == nullptr;
    if (compressed) {
        clear_bufs();
        part_nb = 0;
        member_settings = {to_stdout, list, verbose};
        method = get_method(fd);
        if (method == -1) {
            exit_code = 1;
            close(fd);
            return;
        }
    }
    // A damaged preamble is not shown as if it were the archive's, nor, with a key, one that
    // its key holder did not sign.
    uint8_t key[32];
    const int keyed = load_verify_key(key);
    if (check_preamble(path, compressed) < 0 || keyed < 0) {
        exit_code = 1;
        close(fd);
        return;
    }
    if (keyed > 0 && sig_check_file(path, fd, key) < 0) {
        exit_code = 1;
        close(fd);
        return;
    }

    if (features[0] != '\0') print_line("Feature: ", features);
    print_line("Comment: ", comment);
    print_line("    Run: ", run_program);
    print_line("Extract: ", pipe_program[0] ? pipe_program : DEFAULT_PIPE_PROGRAM);
    list_signature(keyed > 0);
    if (!compressed) {
        printf("Statistics unavailable because data was not compressed\n");
        close(fd);
        return;
    }

    if (first_time) {
        first_time = 0;
        if (verbose) printf("method  crc     date  time  ");
        printf("compressed  uncompr. ratio uncompressed_name\n");
    }

    long crc = -1;
    bytes_in = bytes_out = -1;
    long num = 0, den = 0;
    off_t at = lseek(fd, -static_cast<off_t>(TRAILER_SIZE), SEEK_END);
    if (at >= 0) {
        bytes_in = at - preamble_end + TRAILER_SIZE;
        uch trailer[TRAILER_SIZE];
        errno = 0;
        if (read(fd, trailer, TRAILER_SIZE) != static_cast<ssize_t>(TRAILER_SIZE)) read_error();
        crc = static_cast<long>(get_le32(trailer));
        bytes_out = static_cast<long>(get_le32(trailer + TRAILER_ISIZE));
        num = bytes_out - (bytes_in - header_bytes);
        den = bytes_out;
    }

    if (verbose) {
        time_t t = static_cast<time_t>(time_stamp);
        char date[LIST_DATE_LEN + 1] = "";
        const char *ct = ctime(&t);
        if (ct && strlen(ct) >= CTIME_DATE_OFFSET + LIST_DATE_LEN) {
            memcpy(date, ct + CTIME_DATE_OFFSET, LIST_DATE_LEN);
            date[LIST_DATE_LEN] = '\0';
        }
        const char *name = method >= 0 && method < METHOD_COUNT ? methods[method] : "";
        printf("%5s %08lx %11s ", name, static_cast<unsigned long>(crc), date);
    }
    printf("%9ld %9ld ", bytes_in, bytes_out);
    display_ratio(num, den, stdout);
    print_line(" ", ofname);
    close(fd);
}
