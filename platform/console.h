// The console: formatted output, number and key input, and the cursor for
// progress lines that rewrite themselves.
#pragma once

namespace plat {

// printf-style output to standard output, flushed at once.
void con_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads one whole-number answer. False when the line holds no number or input
// has ended (see con_at_end()).
bool con_read_int(int* value);
bool con_at_end();

// One key without echo; -1 when input has ended.
int con_read_key();

// Both reads return early, false and -1, when an interrupt is requested
// (platform/interrupt.h), whether it came before the call or while it
// waited; input has not ended then (con_at_end() stays false) and callers
// ask interrupt_requested() to tell the two apart.

// True when standard output is a terminal (cursor moves are possible). When it
// is not, the cursor calls print nothing and return false. Columns and rows
// count from 0; POSIX terminals are asked for the position (ESC [6n).
bool con_is_terminal();
bool con_get_cursor(int* column, int* row);
bool con_set_cursor(int column, int row);

}  // namespace plat
