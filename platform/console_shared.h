// What the two console backends share: writing one formatted text.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/console.h"

namespace plat {

// Writes `text` to standard output as con_filter makes it for `to`, flushes,
// and hands it to the tee.
void con_write(const char* text, std::size_t length, ConOutput to);
// The next text written overwrites the screen at a moved cursor.
void con_note_cursor_moved();

}  // namespace plat
