// A plain LZ77 match finder to hold the encoder to: hash chains walked candidate by
// candidate, nothing skipped, feeding the encoder's own tally and block emission. Shared by
// the differential test and the differential fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plain {

// The raw DEFLATE data of size bytes at data at level lvl (1..9), the input routine handing
// out at most chunk bytes per call (0: as many as asked): through the encoder's lm_init and
// deflate, or with plain_finder through the plain match finder.
std::string deflate_raw(const uint8_t *data, size_t size, int lvl, bool plain_finder,
                        unsigned chunk = 0);
// The same at level 9 through the parallel encoder: threads threads, chunk_size-byte chunks,
// told the input's size is size_hint.
std::string deflate_raw_parallel(const uint8_t *data, size_t size, unsigned threads,
                                 size_t chunk_size, uint64_t size_hint = 0);

}  // namespace plain
