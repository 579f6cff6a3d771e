// Placeholder definitions of the three readers, so code above formats/ links while the readers
// are built. Each refuses its input.
#include "formats/json_reader.h"
#include "formats/message_pack_reader.h"
#include "formats/yaml_reader.h"

namespace mox {

ValueResult parseJson(const char*) {
    return ValueResult::failure("JSON reader not built");
}
ValueResult parseJson(const std::string&) {
    return ValueResult::failure("JSON reader not built");
}
ValueResult parseYaml(const std::string&) {
    return ValueResult::failure("YAML reader not built");
}
ValueResult decodeMessagePack(const std::uint8_t*, std::size_t, std::size_t& consumed) {
    consumed = 0;
    return ValueResult::failure("MessagePack reader not built");
}
bool looksLikeMessagePack(const std::uint8_t* data, std::size_t size) noexcept {
    if (size == 0 || data == nullptr)
        return false;
    return (data[0] >= 0x80 && data[0] <= 0x9f) || (data[0] >= 0xdc && data[0] <= 0xdf);
}

}  // namespace mox
