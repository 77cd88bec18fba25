// Support library: error-message printers (err_ family) and path helpers.
// Owns the process-wide program name used as the prefix of every message.
#pragma once

#include <cstdio>

// The program's argv[0], unchanged; the prefix of every message when non-NULL.
extern char *progname;
// Where the err_ printers write; standard error when NULL.
extern FILE *_Errstrm;
// A second stream receiving a copy of each message when er_catalog is non-zero.
extern FILE *Catstrm;
extern int er_catalog;

void err_sys(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_quit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void err_ret(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_dump(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int err_open(const char *file, const char *mode);

// Writes s to f with every control character (a byte below 0x20, and 0x7f) shown as a
// backslash and three octal digits, so that text from an archive cannot drive the terminal;
// other bytes, the backslash and UTF-8 included, are written as they are.
void print_visible(FILE *f, const char *s);
// The same for text meant to span lines (a comment, a command): a newline is kept and followed
// by indent blanks, so that every further line stands under the first and none can pass for
// another field; a tab is kept.
void print_text(FILE *f, const char *s, int indent);

// Moves the text after the last '/' of fname to its start, in place; returns fname.
char *to_basename(char *fname);
