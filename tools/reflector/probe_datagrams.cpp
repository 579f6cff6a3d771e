#include "tools/reflector/probe_datagrams.h"

namespace mox::reflector {

namespace {

std::uint64_t readU64(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

}  // namespace

std::optional<std::array<std::uint8_t, kReplySize>> gameLatencyReply(
    std::span<const std::uint8_t> probe) {
    if (probe.size() < kProbeHeaderSize || probe.size() > kMaxProbeSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        if (probe[i] != 0) {
            return std::nullopt;
        }
    }
    if (probe[8] != 0x01 || probe[9] != 0x81 || probe[12] != 0x05 || probe[13] != 0x01) {
        return std::nullopt;
    }
    for (std::size_t i = kProbeHeaderSize; i < probe.size(); ++i) {
        if (probe[i] != 0) {
            return std::nullopt;
        }
    }
    std::array<std::uint8_t, kReplySize> reply{};
    reply[4] = 0x01;
    reply[8] = probe[14];
    reply[9] = probe[15];
    reply[10] = probe[10];
    reply[11] = probe[11];
    return reply;
}

std::optional<Ipv4OptionsProbe> parseIpv4OptionsProbe(std::span<const std::uint8_t> datagram) {
    if (datagram.size() != kIpv4OptionsProbeSize || datagram[0] != 0x01 || datagram[1] != 0x01 ||
        (datagram[10] != 0 && datagram[10] != 20)) {
        return std::nullopt;
    }
    Ipv4OptionsProbe probe;
    probe.experimentId = readU64(datagram.subspan(2, 8));
    probe.optionNumber = datagram[10];
    probe.index = datagram[11];
    probe.optionValue = static_cast<std::uint16_t>(datagram[12] | datagram[13] << 8);
    return probe;
}

std::optional<Ipv6SupportProbe> parseIpv6SupportProbe(std::span<const std::uint8_t> datagram) {
    if (datagram.size() != kIpv6SupportProbeSize || datagram[0] != 0x01 || datagram[1] != 0x02) {
        return std::nullopt;
    }
    Ipv6SupportProbe probe;
    probe.experimentId = readU64(datagram.subspan(2, 8));
    probe.index = datagram[10];
    return probe;
}

std::optional<std::uint16_t> findRouterAlert(std::span<const std::uint8_t> options) {
    std::size_t at = 0;
    while (at < options.size()) {
        const std::uint8_t type = options[at];
        if (type == 0) {
            break;
        }
        if (type == 1) {
            ++at;
            continue;
        }
        if (at + 1 >= options.size()) {
            break;
        }
        const std::size_t length = options[at + 1];
        if (length < 2 || at + length > options.size()) {
            break;
        }
        if (type == 0x94 && length == 4) {
            return static_cast<std::uint16_t>(options[at + 2] | options[at + 3] << 8);
        }
        at += length;
    }
    return std::nullopt;
}

}  // namespace mox::reflector
