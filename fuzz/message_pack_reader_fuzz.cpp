// libFuzzer target: arbitrary bytes as one MessagePack item, with the reader properties of
// fuzz/reader_fuzz_checks.h; reading never stops past the input.
#include <cstddef>
#include <cstdint>

#include "formats/message_pack_reader.h"
#include "fuzz/reader_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t consumed = size + 1;
    const mox::ValueResult result = mox::decodeMessagePack(data, size, consumed);
    if (consumed > size) {
        __builtin_trap();
    }
    mox::fuzz::checkReaderResult(result);
    return 0;
}
