// Fuzz harness support: in-memory descriptors for inputs and outputs, a guard that turns the
// stream layer's fatal exits into a return to the target, stream-state reset, and tracking
// of the heap blocks a run leaves behind.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>

// Set while a target runs code that may reach a fatal exit; abort_gzip jumps here in the
// fuzz build instead of ending the process.
extern jmp_buf *kelpa_fuzz_abort;

// Writes data to a per-process scratch file (mode 0755, so it resolves as a program) and
// returns its path.
const char *fuzz_scratch_file(const uint8_t *data, size_t size);

// An in-memory file (memfd) holding exactly data, positioned at its start. Each slot is
// created once per process and reused.
int fuzz_input_fd(int slot, const uint8_t *data, size_t size);
// An empty in-memory file for output, positioned at its start.
int fuzz_output_fd(int slot);
// Reads back everything written to an output slot; returns its length (at most cap bytes
// copied).
size_t fuzz_output_read(int slot, uint8_t *buf, size_t cap);
// Length of what an output slot holds.
size_t fuzz_output_size(int slot);
// A descriptor on /dev/null.
int fuzz_null_fd();

// Resets the process-wide stream state between runs.
void fuzz_reset_streams();

// Heap tracking: between fuzz_track_begin and fuzz_track_end every block allocated (and
// not freed again) is recorded. fuzz_track_end frees whatever is left and returns how many
// blocks that was. A fatal exit ends the real process and thereby releases everything; in
// the fuzz process the run jumps back instead, so the target frees what the exit would have.
void fuzz_track_begin();
size_t fuzz_track_end();
