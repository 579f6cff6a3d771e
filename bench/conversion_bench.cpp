// Conversion between native records and generic values: a 14-field configuration record and a
// vector of 1,000 small records, each way. Heap and allocation-layer counts per iteration sit
// beside the timings (see allocation_counter.h).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "binding/converters.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "binding/values/value_result.h"

namespace {

using namespace mox;

// Shaped like the plugin's dynamic configuration: strings, ports, probabilities, counts.
struct ConfigRecord {
    std::string gameLatencyProbeServers = "192.0.2.1,192.0.2.2,192.0.2.3,192.0.2.4";
    std::uint16_t gameLatencyProbePort = 5499;
    double gameLatencyProbability = 0.25;
    double gameLatencyTimeoutSecs = 3.0;
    std::uint8_t gameLatencyProbeCount = 5;
    std::uint16_t gameLatencyProbeSize = 256;
    std::string ipv4OptionsProbeServers = "198.51.100.7";
    std::uint16_t ipv4OptionsProbePort = 5498;
    double ipv4OptionsProbability = 0.5;
    std::uint8_t ipv4OptionsProbeCount = 8;
    std::string ipv6SupportProbeServers = "2001:db8::1";
    std::uint16_t ipv6SupportProbePort = 5497;
    double ipv6SupportProbability = 1.0;
    std::uint8_t ipv6SupportProbeCount = 8;
};

struct SmallRecord {
    std::uint32_t id = 0;
    std::int32_t delta = 0;
    bool ok = false;
    std::string label;
};

const TypeRegistry& benchRegistry() {
    static const TypeRegistry* registry = [] {
        auto* r = new TypeRegistry;
        using C = ConfigRecord;
        r->beginStruct<C>("BenchConfig")
            .field("GameLatencyProbeServers", &C::gameLatencyProbeServers)
            .field("GameLatencyProbePort", &C::gameLatencyProbePort)
            .field("GameLatencyProbability", &C::gameLatencyProbability)
            .field("GameLatencyTimeoutSecs", &C::gameLatencyTimeoutSecs)
            .field("GameLatencyProbeCount", &C::gameLatencyProbeCount)
            .field("GameLatencyProbeSize", &C::gameLatencyProbeSize)
            .field("IPv4OptionsProbeServers", &C::ipv4OptionsProbeServers)
            .field("IPv4OptionsProbePort", &C::ipv4OptionsProbePort)
            .field("IPv4OptionsProbability", &C::ipv4OptionsProbability)
            .field("IPv4OptionsProbeCount", &C::ipv4OptionsProbeCount)
            .field("IPv6SupportProbeServers", &C::ipv6SupportProbeServers)
            .field("IPv6SupportProbePort", &C::ipv6SupportProbePort)
            .field("IPv6SupportProbability", &C::ipv6SupportProbability)
            .field("IPv6SupportProbeCount", &C::ipv6SupportProbeCount)
            .finish();
        r->beginStruct<SmallRecord>("BenchSmall")
            .field("id", &SmallRecord::id)
            .field("delta", &SmallRecord::delta)
            .field("ok", &SmallRecord::ok)
            .field("label", &SmallRecord::label)
            .finish();
        return r;
    }();
    return *registry;
}

std::vector<SmallRecord> smallRecords() {
    std::vector<SmallRecord> records(1000);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].id = static_cast<std::uint32_t>(i);
        records[i].delta = static_cast<std::int32_t>(i) - 500;
        records[i].ok = (i % 3) == 0;
        records[i].label = (i % 2) == 0 ? "even" : "odd";
    }
    return records;
}

void BM_ConfigToValue(benchmark::State& state) {
    const TypeRegistry& registry = benchRegistry();
    const ConfigRecord config;
    const auto start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        ValueResult result = toValueRecord(config, registry);
        benchmark::DoNotOptimize(result.value().size());
    }
    bench::reportAllocations(state, start);
}
BENCHMARK(BM_ConfigToValue);

void BM_ConfigToNative(benchmark::State& state) {
    const TypeRegistry& registry = benchRegistry();
    const ValueResult value = toValueRecord(ConfigRecord{}, registry);
    // Converting into a record that already holds strings of the same length measures the
    // conversion, not the record's own string allocations.
    ConfigRecord config;
    const auto start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        const ValueResult result = toNativeRecord(config, value.value(), "<value>", registry);
        benchmark::DoNotOptimize(result.ok());
    }
    bench::reportAllocations(state, start);
}
BENCHMARK(BM_ConfigToNative);

void BM_VectorToValue(benchmark::State& state) {
    const TypeRegistry& registry = benchRegistry();
    const std::vector<SmallRecord> records = smallRecords();
    const auto start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        ValueResult result = toValueRecord(records, registry);
        benchmark::DoNotOptimize(result.value().size());
    }
    bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_VectorToValue);

void BM_VectorToNative(benchmark::State& state) {
    const TypeRegistry& registry = benchRegistry();
    const ValueResult value = toValueRecord(smallRecords(), registry);
    std::vector<SmallRecord> records;
    const auto start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        const ValueResult result = toNativeRecord(records, value.value(), "<value>", registry);
        benchmark::DoNotOptimize(result.ok());
    }
    bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_VectorToNative);

}  // namespace
