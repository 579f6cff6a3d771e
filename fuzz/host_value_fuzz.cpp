// libFuzzer target: arbitrary bytes become a host value tree (tests/support/host_value_program.h),
// which goes through fromHost, toHost and back, and is released. Sanitizers catch memory
// faults; a round trip that changes an accepted value stops the run.
#include <cstddef>
#include <cstdint>

#include "support/host_value_program.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const mox::fuzz::HostValueRunOutcome outcome = mox::fuzz::runHostValueProgram(data, size);
    if (outcome.fromHostOk && !outcome.roundTripEqual) {
        __builtin_trap();
    }
    return 0;
}
