// Support library: the progress line. While standard error is a terminal, work that lasts
// more than about a second shows one line there, rewritten in place at most four times a
// second: a word, a name, the share done, the speed and the time left. Otherwise nothing is
// ever written.
#pragma once

// Starts the line for one piece of work: word and name (kept by pointer until
// progress_end), counting progress_tick's counts from start, out of total bytes (0: unknown,
// the line shows the amount done instead of a share and the time left).
void progress_begin(const char *word, const char *name, unsigned long start, unsigned long total);
// The work's counter has reached count; redraws the line when it is due.
void progress_tick(unsigned long count);
// Ends the work: the line, if it was shown, is erased.
void progress_end();
