// File: tests/support/game_latency_probe.h
//
// A game-latency probe written byte by byte as the experiment sends it, independently of the
// product's own encoder, for suites that talk to a reflector: 8 zero bytes, 01 81, the
// identifier's low half little-endian, 05 01, its high half little-endian, then `size` zero
// payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mox::test {

inline std::vector<std::uint8_t> gameLatencyProbe(std::uint32_t id, std::size_t size = 0) {
    std::vector<std::uint8_t> bytes(16 + size, 0);
    bytes[8] = 0x01;
    bytes[9] = 0x81;
    bytes[10] = static_cast<std::uint8_t>(id);
    bytes[11] = static_cast<std::uint8_t>(id >> 8);
    bytes[12] = 0x05;
    bytes[13] = 0x01;
    bytes[14] = static_cast<std::uint8_t>(id >> 16);
    bytes[15] = static_cast<std::uint8_t>(id >> 24);
    return bytes;
}

}  // namespace mox::test
