// Support library: the err_ message printers (every message is "progname: " when set, the
// text and a CR LF ending; a copy may go to a catalog stream), and the printers that show
// names and text from outside without their control characters.
#include "support/err.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

char *progname = nullptr;
FILE *_Errstrm = nullptr;
FILE *Catstrm = nullptr;
int er_catalog = 0;

namespace {

FILE *errstream() {
    return _Errstrm ? _Errstrm : stderr;
}

void prefix(FILE *f) {
    if (progname) fprintf(f, "%s: ", progname);
}

// Prints fmt with its arguments; with drop_newline, a trailing '\n' of fmt is left out.
void body(FILE *f, const char *fmt, va_list ap, bool drop_newline) {
    enum { FMT_COPY_SIZE = 1024 };  // longer formats are printed with their newline kept
    size_t n = strlen(fmt);
    if (drop_newline && n > 0 && fmt[n - 1] == '\n' && n < FMT_COPY_SIZE) {
        char copy[FMT_COPY_SIZE];
        memcpy(copy, fmt, n - 1);
        copy[n - 1] = '\0';
        vfprintf(f, copy, ap);
    } else {
        vfprintf(f, fmt, ap);
    }
}

}  // namespace

void err_sys(const char *fmt, ...) {
    const char *why = strerror(errno);
    FILE *f = errstream();
    va_list ap;
    va_start(ap, fmt);
    prefix(f);
    body(f, fmt, ap, true);
    va_end(ap);
    fprintf(f, " because %s \r\n", why);
    if (er_catalog && Catstrm) {
        va_start(ap, fmt);
        prefix(Catstrm);
        body(Catstrm, fmt, ap, true);
        va_end(ap);
        fprintf(Catstrm, " because %s\n", why);
    }
}

namespace {

// Prefix and formatted message to the error stream and, when cataloguing, a copy ending in
// a newline to the catalog stream (flushed when flush is set). The error stream's own
// ending is the caller's.
void message_with_copy(const char *fmt, va_list ap, bool flush) {
    FILE *f = errstream();
    va_list copy;
    va_copy(copy, ap);
    prefix(f);
    vfprintf(f, fmt, ap);
    if (er_catalog && Catstrm) {
        prefix(Catstrm);
        vfprintf(Catstrm, fmt, copy);
        fputc('\n', Catstrm);
        if (flush) fflush(Catstrm);
    }
    va_end(copy);
}

}  // namespace

void err_quit(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    message_with_copy(fmt, ap, false);
    va_end(ap);
    fputs("\r\n", errstream());
    exit(255);
}

void err_ret(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    message_with_copy(fmt, ap, true);
    va_end(ap);
    fputs("\r\n", errstream());
    fflush(errstream());
}

void err_dump(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    message_with_copy(fmt, ap, true);
    va_end(ap);
    FILE *f = errstream();
    fputs("\r\n", f);
    fputc('\n', f);
    fflush(f);
    abort();
}

int err_open(const char *file, const char *mode) {
    const char *why = strerror(errno);
    FILE *f = errstream();
    prefix(f);
    fprintf(f, "Error opening file \"%s\"", file);
    if (mode) {
        const char *how = mode[0] == 'w'                ? "writing "
                          : (mode[0] && mode[1] == 'w') ? "read/write"
                                                        : "reading ";
        fprintf(f, " for %s", how);
    }
    fprintf(f, " because %s \r\n", why);
    return fflush(f);
}

namespace {

// A control character as a backslash and three octal digits; any other byte as it is.
void put_visible(FILE *f, unsigned char c) {
    if (c < 0x20 || c == 0x7f)
        fprintf(f, "\\%03o", c);
    else
        putc(c, f);
}

}  // namespace

void print_visible(FILE *f, const char *s) {
    for (; *s; ++s) put_visible(f, static_cast<unsigned char>(*s));
}

void print_text(FILE *f, const char *s, int indent) {
    for (; *s; ++s) {
        if (*s == '\n') {
            fprintf(f, "\n%*s", indent, "");
        } else if (*s == '\t') {
            putc('\t', f);
        } else {
            put_visible(f, static_cast<unsigned char>(*s));
        }
    }
}
