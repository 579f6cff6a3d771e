// libFuzzer target: arbitrary bytes as a JSON text (read up to the first NUL, as the string
// overload does), with the reader properties of fuzz/reader_fuzz_checks.h.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/json_reader.h"
#include "fuzz/reader_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    mox::fuzz::checkReaderResult(mox::parseJson(text));
    return 0;
}
