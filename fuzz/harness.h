// Fuzz harness support: a scratch file for inputs that kelpa reads from disk, and a guard
// that turns the stream layer's fatal exits into a return to the target.
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

// Resets the process-wide stream state between runs.
void fuzz_reset_streams();
