// What the two console backends share: writing one formatted text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/console.h"

namespace plat {

// Writes `text` to standard output as con_filter makes it for `to`, flushes,
// and hands it to the tee.
void con_write(const char* text, std::size_t length, ConOutput to);
// The text printf would make of `format` and `args`, whole however long.
std::string con_vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
// The next text written overwrites the screen at a moved cursor.
void con_note_cursor_moved();

}  // namespace plat
