// File: formats/json_reader.h
//
// The JSON reader: turns JSON text into one generic value, with no document tree in between.
// The text ends at its first NUL byte. Bad input never throws: it is reported only in the
// result, as "Error: <text> at offset <n>." or, for input nested deeper than
// `kMaxNestingDepth`, a message naming the limit and the offset.
#pragma once

#include <string>

#include "binding/values/value_result.h"

namespace mox {

// Reads the NUL-terminated `text`. A null pointer reads as the empty text.
ValueResult parseJson(const char* text);
// Reads `text`'s characters up to its first NUL (not by its length).
ValueResult parseJson(const std::string& text);

}  // namespace mox
