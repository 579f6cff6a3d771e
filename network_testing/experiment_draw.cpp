#include "network_testing/experiment_draw.h"

#include <cmath>
#include <functional>
#include <limits>
#include <thread>

#include "platform/clock.h"

namespace mox {

std::uint32_t nonDeterministicSeed() noexcept {
    try {
        std::random_device device;
        return static_cast<std::uint32_t>(device());
    } catch (...) {
        // No usable source: fall back to values that at least differ between runs and threads.
        const std::uint64_t now = platform::monotonicNanoseconds();
        const std::size_t thread = std::hash<std::thread::id>{}(std::this_thread::get_id());
        const std::uint64_t mixed =
            now ^ (static_cast<std::uint64_t>(thread) * 0x9E3779B97F4A7C15ull);
        return static_cast<std::uint32_t>(mixed ^ (mixed >> 32));
    }
}

double drawCanonical(std::mt19937& generator) noexcept {
    const auto low = static_cast<std::uint32_t>(generator());
    const auto high = static_cast<std::uint32_t>(generator());
    return canonicalFromOutputs(low, high);
}

double canonicalFromOutputs(std::uint32_t low, std::uint32_t high) noexcept {
    const double r = (static_cast<double>(low) + static_cast<double>(high) * 4294967296.0) /
                     18446744073709551616.0;
    if (r >= 1.0) {
        return std::nextafter(1.0, 0.0);
    }
    return r;
}

NetworkExperimentStatus statusForLostDraw(double probability) noexcept {
    return probability == 0.0 ? NetworkExperimentStatus::Disabled
                              : NetworkExperimentStatus::Skipped;
}

std::vector<std::string> splitServerList(std::string_view list) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) {
            pieces.emplace_back(list.substr(start));
            return pieces;
        }
        pieces.emplace_back(list.substr(start, comma - start));
        start = comma + 1;
    }
}

namespace {

bool isAsciiSpace(char c) noexcept {
    const auto byte = static_cast<unsigned char>(c);
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

}  // namespace

std::string_view trimAsciiWhitespace(std::string_view text) noexcept {
    while (!text.empty() && isAsciiSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isAsciiSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::size_t uniformIndex(std::mt19937& generator, std::size_t count) {
    std::uniform_int_distribution<std::size_t> distribution(0, count - 1);
    return distribution(generator);
}

}  // namespace mox
