// DEFLATE decoder: decodes one raw DEFLATE stream (RFC 1951) from the stream state's input
// into its 32 KiB window, flushing each full window through flush_window.
#pragma once

// Decodes one stream, leaving inptr on the first byte after it. Results: 0 success,
// 1 invalid data, 2 block type 3 or over-subscribed lengths, 3 no memory.
int inflate();
