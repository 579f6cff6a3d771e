// libFuzzer target: arbitrary bytes as a YAML text, with the reader properties of
// fuzz/reader_fuzz_checks.h. Anchors and aliases are where the fuzzer earns its keep: cycles,
// copies of copies, aliases in key position, nesting reached through a copy.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/yaml_reader.h"
#include "fuzz/reader_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    mox::fuzz::checkReaderResult(mox::parseYaml(text));
    return 0;
}
