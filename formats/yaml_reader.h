// File: formats/yaml_reader.h
//
// The YAML reader: turns one YAML document into one generic value, resolving plain scalars to
// kinds and expanding anchors and aliases. Bad input never throws: it is reported only in the
// result.
#pragma once

#include <string>

#include "binding/values/value_result.h"

namespace mox {

// Reads `text` (its bytes and its length, UTF-8).
ValueResult parseYaml(const std::string& text);

}  // namespace mox
