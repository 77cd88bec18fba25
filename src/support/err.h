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

// Moves the text after the last '/' of fname to its start, in place; returns fname.
char *to_basename(char *fname);
