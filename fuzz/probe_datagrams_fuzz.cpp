// libFuzzer target: arbitrary bytes as a datagram the probe reflector receives, read by each
// of its parsers (tools/reflector/probe_datagrams.h), and as an IPv4 options block. Besides
// surviving the input under the sanitizers (libFuzzer's buffer is exactly the input, so a
// read past it is caught), the run stops when:
//   - a game-latency reply is given for anything but a well-formed probe (16 to 1040 bytes,
//     the fixed header bytes, a zero payload), or is refused for one; or when the reply does
//     not carry the probe's identifier as the experiment decodes it;
//   - an IPv4 options or IPv6 support probe is accepted without the size and header bytes, or
//     refused with them; or when the experiment's own encoder, fed the parsed fields, does
//     not write back exactly the datagram;
//   - the Router Alert value found in an options block is not the value of a well-formed
//     Router Alert option in it, or a leading one-byte filler changes the answer.
// A probe written by the experiment's encoder from the first input bytes must always be
// answered, with its identifier.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "network_testing/game_latency_probe.h"
#include "network_testing/ipv4_options_experiment.h"
#include "network_testing/ipv6_support_experiment.h"
#include "tools/reflector/probe_datagrams.h"

namespace {

using namespace mox;

void check(bool property) {
    if (!property) {
        __builtin_trap();
    }
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) {
        value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    }
    return value;
}

void checkGameLatency(std::span<const std::uint8_t> datagram) {
    bool wellFormed = datagram.size() >= 16 && datagram.size() <= 16 + 1024;
    if (wellFormed) {
        static constexpr std::uint8_t kHeader[16] = {0, 0,    0, 0, 0,    0,    0, 0,
                                                     1, 0x81, 0, 0, 0x05, 0x01, 0, 0};
        for (std::size_t i = 0; i < 16; ++i) {
            if (i != 10 && i != 11 && i != 14 && i != 15 && datagram[i] != kHeader[i]) {
                wellFormed = false;
            }
        }
        wellFormed = wellFormed && std::all_of(datagram.begin() + 16, datagram.end(),
                                               [](std::uint8_t b) { return b == 0; });
    }
    const auto reply = reflector::gameLatencyReply(datagram);
    check(reply.has_value() == wellFormed);
    if (!reply) {
        return;
    }
    const std::optional<std::uint32_t> id = decodeGameLatencyReply(*reply);
    check(id.has_value());
    std::uint8_t header[16] = {};
    encodeGameLatencyProbe(header, *id);
    check(std::equal(header, header + 16, datagram.begin()));
}

void checkGeneratedProbe(std::span<const std::uint8_t> input) {
    const std::uint32_t id = readU32(input);
    const std::size_t size = input.size() > 4 ? input[4] * 4u + input.size() % 4 : 0;
    std::vector<std::uint8_t> probe(16 + std::min<std::size_t>(size, 1024), 0);
    encodeGameLatencyProbe(probe, id);
    const auto reply = reflector::gameLatencyReply(probe);
    check(reply.has_value());
    check(decodeGameLatencyReply(*reply) == id);
}

void checkIpv4Options(std::span<const std::uint8_t> datagram) {
    const bool wellFormed = datagram.size() == 14 && datagram[0] == 1 && datagram[1] == 1 &&
                            (datagram[10] == 0 || datagram[10] == 20);
    const auto probe = reflector::parseIpv4OptionsProbe(datagram);
    check(probe.has_value() == wellFormed);
    if (probe) {
        const auto written = encodeIpv4OptionsProbe(probe->experimentId, probe->optionNumber,
                                                    probe->index, probe->optionValue);
        check(std::equal(written.begin(), written.end(), datagram.begin(), datagram.end()));
    }
}

void checkIpv6Support(std::span<const std::uint8_t> datagram) {
    const bool wellFormed = datagram.size() == 11 && datagram[0] == 1 && datagram[1] == 2;
    const auto probe = reflector::parseIpv6SupportProbe(datagram);
    check(probe.has_value() == wellFormed);
    if (probe) {
        const auto written = encodeIpv6SupportProbe(probe->experimentId, probe->index);
        check(std::equal(written.begin(), written.end(), datagram.begin(), datagram.end()));
    }
}

void checkRouterAlert(std::span<const std::uint8_t> options) {
    const std::optional<std::uint16_t> found = reflector::findRouterAlert(options);
    if (found) {
        bool present = false;
        for (std::size_t at = 0; at + 4 <= options.size() && !present; ++at) {
            present = options[at] == 0x94 && options[at + 1] == 4 &&
                      (options[at + 2] | options[at + 3] << 8) == *found;
        }
        check(present);
    }
    std::vector<std::uint8_t> padded(options.size() + 1);
    padded[0] = 1;
    std::copy(options.begin(), options.end(), padded.begin() + 1);
    check(reflector::findRouterAlert(padded) == found);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    checkGameLatency(input);
    checkGeneratedProbe(input);
    checkIpv4Options(input);
    checkIpv6Support(input);
    checkRouterAlert(input);
    return 0;
}
