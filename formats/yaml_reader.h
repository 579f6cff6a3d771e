// File: formats/yaml_reader.h
//
// The YAML reader: turns one YAML document into one generic value, resolving plain scalars to
// kinds and expanding anchors and aliases. Bad input never throws: it is reported only in the
// result. A stream of more than one document is refused, and so is input that would bring the
// host down: nesting deeper than `kMaxNestingDepth` (also when reached through an alias copy),
// and aliases that together copy more than a million values in one document (a copied text
// counts one value per 16 bytes). Messages name the line and column, counted from 1, except
// libyaml's own parse errors, which it counts from 0.
#pragma once

#include <string>

#include "binding/values/value_result.h"

namespace mox {

// Reads `text` (its bytes and its length, UTF-8).
ValueResult parseYaml(const std::string& text);

}  // namespace mox
