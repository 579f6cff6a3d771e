// File: network_testing/experiment_draw.h
//
// The pieces every experiment shares before its worker starts: the seed of a generator, the
// weighted draw against a probability, the split of a configured server list and the trim of
// the chosen piece.
//
// The draw: r = (x0 + x1 * 2^32) / 2^64 from two consecutive 32-bit outputs of the
// experiment's MT19937 generator, x0 being the low half, so r lies in [0, 1). The exact
// quotient can round up to 1.0 in double precision (x0 = x1 = 0xFFFFFFFF); such a result is
// clamped to the largest double below 1.0, so a probability of 1.0 always runs. The experiment
// runs when r < p; otherwise its status becomes "Disabled" when p is exactly 0.0 and "Skipped"
// for every other p (also a negative one or NaN).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "network_testing/experiment_status.h"

namespace mox {

// One 32-bit seed from the operating system's non-deterministic source. Never throws: when the
// source is unavailable, the seed mixes the monotonic clock and the thread identity instead.
std::uint32_t nonDeterministicSeed() noexcept;

// r in [0, 1) from the generator's next two outputs (see the file comment).
double drawCanonical(std::mt19937& generator) noexcept;
// r in [0, 1) from two given outputs, `low` being the first.
double canonicalFromOutputs(std::uint32_t low, std::uint32_t high) noexcept;

// The status an experiment that lost the draw against `probability` shows.
NetworkExperimentStatus statusForLostDraw(double probability) noexcept;

// Splits `list` at every ","; every piece counts, empty ones included, so "" gives one empty
// piece and "a," gives "a" and "". Pieces are not trimmed.
std::vector<std::string> splitServerList(std::string_view list);

// `text` without leading and trailing ASCII white space (space, tab, line feed, vertical tab,
// form feed, carriage return). Bytes of 0x80 and above are never white space.
std::string_view trimAsciiWhitespace(std::string_view text) noexcept;

// A uniformly distributed index in [0, count). REQUIRES: count > 0.
std::size_t uniformIndex(std::mt19937& generator, std::size_t count);

}  // namespace mox
