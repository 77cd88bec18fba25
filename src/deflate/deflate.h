// DEFLATE encoder (RFC 1951): compresses what the installed input routine delivers into the
// stream state's outbuf, the classic hash-chain algorithm's exact bytes at each level.
#pragma once

#include <cstddef>

#include "stream/stream.h"

// The input routine, installed by the caller before deflate: places up to size bytes in buf
// and returns their count, 0 at the end of the input. One per thread: the parsing threads
// of the parallel encoder read from memory.
using InputRoutine = int (*)(char *buf, unsigned size);
extern constinit thread_local InputRoutine read_buf;

// Per member, in this order: the bit writer, the code tables (*attr: the file type to
// classify, *methodp: the member's method), the match finder at pack_level (ORs the
// member's XFL into *xfl).
void bi_init(int zipfile);
void ct_init(ush *attr, int *methodp);
void lm_init(int pack_level, ush *xfl);
// Compresses the whole input; returns the compressed length in bytes.
ulg deflate();

// The parallel encoder: deflate's bytes, the input parsed in chunks of chunk_size bytes (a
// multiple of 32 KiB, at least 64 KiB) on threads threads, the calling one among them (at
// most MAX_THREADS). input_size, the input's size if known (else 0), only shapes the last
// chunks. In place of lm_init and deflate, after lm_config; runs them itself on
// one thread, at the fast levels, and without the memory or a second thread. The input
// routine is called on the calling thread only.
inline constexpr unsigned MAX_THREADS = 64;
inline constexpr size_t PARALLEL_CHUNK = size_t{256} * 1024;
void lm_config(int pack_level, ush *xfl);
ulg deflate_parallel(unsigned threads, size_t chunk_size = PARALLEL_CHUNK, uint64_t input_size = 0);
