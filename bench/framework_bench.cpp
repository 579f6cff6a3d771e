// What the framework costs the host.
//
// Requests per second through the plugin's function table (`handleFunctionRequest`, as the
// host calls it) for `GET /network-testing/v1/experiments` and
// `GET /network-testing/v1/game-latency` with stored results, each beside a floor: a handler
// written for the benchmark that builds the same host value directly from plain records, with
// no router, registry or generic tree. Setup checks that the floor's answer equals the
// plugin's, member for member. Counters per request: heap allocations (operator new) and
// allocation-layer allocations.
//
// The plugin is loaded in-process through the host double and configured to run its
// game-latency experiment once against an in-process probe reflector on 127.0.0.1, so the
// results are stored before the measured loop starts.
//
// Life cycle: load + Initialize + first configuration (until the configuration's experiment
// has been read and applied) and Shutdown, through the shared library the host loads, so
// `MemoryStats` sees every allocation the plugin makes. Counters: the peak bytes in use and the
// bytes still in use after Shutdown.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "binding/host_value.h"
#include "binding/values/value.h"
#include "host/host_double.h"
#include "network_testing/dynamic_config.h"
#include "platform/abi.h"
#include "plugin/entry/plugin_entry.h"
#include "routing/function_table.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_method.h"
#include "routing/route_template.h"
#include "tools/reflector/probe_reflector.h"

extern "C" void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record);

namespace {

constexpr const char kExperimentsPath[] = "/network-testing/v1/experiments";
constexpr const char kGameLatencyPath[] = "/network-testing/v1/game-latency";
constexpr int kProbeCount = 10;

// --- host value comparison (setup only) -----------------------------------------------------

std::string_view hostText(const mox::HostValue& value) {
    return {value.payload.string.text, value.payload.string.length};
}

bool isText(const mox::HostValue& value) {
    return value.kind == mox::HostKind::BorrowedString || value.kind == mox::HostKind::OwnedString;
}

bool sameHostValue(const mox::HostValue& a, const mox::HostValue& b) {
    if (isText(a) || isText(b)) {
        return isText(a) && isText(b) && hostText(a) == hostText(b);
    }
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case mox::HostKind::Empty:
            return true;
        case mox::HostKind::Bool:
            return a.payload.boolean == b.payload.boolean;
        case mox::HostKind::Signed:
            return a.payload.signedValue == b.payload.signedValue;
        case mox::HostKind::Unsigned:
            return a.payload.unsignedValue == b.payload.unsignedValue;
        case mox::HostKind::Float:
            return a.payload.floatValue == b.payload.floatValue;
        case mox::HostKind::Collection:
            if (a.payload.array.count != b.payload.array.count) {
                return false;
            }
            for (std::uint32_t i = 0; i < a.payload.array.count; ++i) {
                if (!sameHostValue(a.payload.array.values[i], b.payload.array.values[i])) {
                    return false;
                }
            }
            return true;
        case mox::HostKind::Structure:
            if (a.payload.structure.count != b.payload.structure.count) {
                return false;
            }
            for (std::uint32_t i = 0; i < a.payload.structure.count; ++i) {
                const mox::HostMember& x = a.payload.structure.members[i];
                const mox::HostMember& y = b.payload.structure.members[i];
                if (std::strcmp(x.name, y.name) != 0 || !sameHostValue(x.value, y.value)) {
                    return false;
                }
            }
            return true;
        default:
            return false;
    }
}

// A one-line rendering for diagnostics: kinds, names and scalars.
void describe(std::string& out, const mox::HostValue& value) {
    out += std::to_string(static_cast<std::uint32_t>(value.kind));
    if (isText(value)) {
        out += "\"" + std::string(hostText(value)) + "\"";
    } else if (value.kind == mox::HostKind::Collection) {
        out += "[";
        for (std::uint32_t i = 0; i < value.payload.array.count; ++i) {
            describe(out, value.payload.array.values[i]);
            out += ",";
        }
        out += "]";
    } else if (value.kind == mox::HostKind::Structure) {
        out += "{";
        for (std::uint32_t i = 0; i < value.payload.structure.count; ++i) {
            out += value.payload.structure.members[i].name;
            out += ":";
            describe(out, value.payload.structure.members[i].value);
            out += ",";
        }
        out += "}";
    } else if (value.kind == mox::HostKind::Unsigned) {
        out += "=" + std::to_string(value.payload.unsignedValue);
    } else if (value.kind == mox::HostKind::Float) {
        out += "=" + std::to_string(value.payload.floatValue);
    }
}

// --- the floor ------------------------------------------------------------------------------

// What the floor answers from: the records as plain data, copied out of the plugin's answer.
struct FloorExperiment {
    std::string name;
    std::string status;
};
struct FloorResult {
    std::string server;
    std::uint64_t size = 0;
    std::optional<double> latency;
};
struct FloorData {
    std::vector<FloorExperiment> experiments;
    std::vector<FloorResult> results;
    std::string timestamp;
};

FloorData& floorData() {
    static FloorData data;
    return data;
}

const mox::HostValue* member(const mox::HostValue& value, const char* name) {
    if (value.kind != mox::HostKind::Structure) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < value.payload.structure.count; ++i) {
        if (std::strcmp(value.payload.structure.members[i].name, name) == 0) {
            return &value.payload.structure.members[i].value;
        }
    }
    return nullptr;
}

void floorRespond(mox::HostResponse& response) {
    response.text = mox::emptyResponseText();
    response.status = 0;  // as the router leaves it for a handler that sets none
    response.release = &mox::releaseResponse;
}

void MOX_CDECL floorExperiments(mox::HostResponse* response, const mox::HostRequest*) {
    const FloorData& data = floorData();
    mox::HostMember* top = mox::setHostStructure(response->body, 1);
    top[0].name = "experiments";
    mox::HostMember* list =
        mox::setHostStructure(top[0].value, static_cast<std::uint32_t>(data.experiments.size()));
    for (std::size_t i = 0; i < data.experiments.size(); ++i) {
        list[i].name = data.experiments[i].name.c_str();
        mox::HostMember* fields = mox::setHostStructure(list[i].value, 1);
        fields[0].name = "status";
        (void)mox::setHostString(fields[0].value, data.experiments[i].status.c_str(),
                                 data.experiments[i].status.size());
    }
    floorRespond(*response);
}

void MOX_CDECL floorGameLatency(mox::HostResponse* response, const mox::HostRequest*) {
    const FloorData& data = floorData();
    mox::HostMember* top = mox::setHostStructure(response->body, 2);
    top[0].name = "results";
    mox::HostValue* results =
        mox::setHostCollection(top[0].value, static_cast<std::uint32_t>(data.results.size()));
    for (std::size_t i = 0; i < data.results.size(); ++i) {
        const FloorResult& result = data.results[i];
        mox::HostMember* fields =
            mox::setHostStructure(results[i], result.latency.has_value() ? 3 : 2);
        // Members in name order, as the plugin answers them.
        std::uint32_t n = 0;
        if (result.latency.has_value()) {
            fields[n].name = "latency";
            mox::setHostFloat(fields[n++].value, *result.latency);
        }
        fields[n].name = "server";
        (void)mox::setHostString(fields[n++].value, result.server.c_str(), result.server.size());
        fields[n].name = "size";
        mox::setHostUnsigned(fields[n].value, result.size);
    }
    top[1].name = "timestamp";
    (void)mox::setHostString(top[1].value, data.timestamp.c_str(), data.timestamp.size());
    floorRespond(*response);
}

// --- the plugin, loaded once with stored results --------------------------------------------

struct Entry {
    mox::HostFunctionHandler handler = nullptr;
    mox::HostRequest request{};
};

class LoadedPlugin {
  public:
    LoadedPlugin() {
        mox::reflector::ReflectorOptions options;
        options.bindAddresses = {
            mox::platform::SocketAddress::loopback(mox::platform::AddressFamily::IPv4)};
        auto reflector = mox::reflector::ProbeReflector::start(options);
        if (!reflector.ok()) {
            error_ = "reflector: " + reflector.error().message;
            return;
        }
        reflector_ = std::move(reflector.value());
        const auto endpoint = reflector_->endpoint(mox::reflector::ProbeKind::GameLatency,
                                                   mox::platform::AddressFamily::IPv4);
        if (!endpoint.has_value()) {
            error_ = "reflector: no game-latency endpoint";
            return;
        }
        host_.serve(mox::host::kGet, mox::kNetworkTestingConfigPath,
                    mox::host::Reply::withValue(configuration(endpoint->port)));
        host_.serveOthers(mox::host::Reply::ok());
        if (!host_.load(&load_network_testing) || !host_.initialize()) {
            error_ = "the plugin did not load";
            return;
        }
        experiments_ = entry(mox::RequestMethod::Get, kExperimentsPath);
        gameLatency_ = entry(mox::RequestMethod::Get, kGameLatencyPath);
        if (experiments_.handler == nullptr || gameLatency_.handler == nullptr) {
            error_ = "the plugin's table lacks the endpoints";
            return;
        }
        if (!waitForCompletion()) {
            error_ = "the game-latency run did not complete";
            return;
        }
        captureFloorData();
    }

    ~LoadedPlugin() { host_.shutdown(); }

    static mox::Value configuration(std::uint16_t port) {
        mox::Value config;
        config.makeStructure();
        config.member("GameLatencyProbeServers").setString("127.0.0.1");
        config.member("GameLatencyProbePort").setUnsigned(port);
        config.member("GameLatencyProbability").setFloat(1.0);
        config.member("GameLatencyTimeoutSecs").setFloat(0.5);
        config.member("GameLatencyProbeCount").setUnsigned(kProbeCount);
        config.member("GameLatencyProbeSize").setUnsigned(16);
        return config;
    }

    const std::string& error() const { return error_; }
    const Entry& experiments() const { return experiments_; }
    const Entry& gameLatency() const { return gameLatency_; }

  private:
    Entry entry(mox::RequestMethod method, const char* path) {
        Entry out;
        const std::string name = mox::functionNameFor(method, path);
        const mox::HostApiDescription* table = host_.functionTable();
        for (const mox::HostFunctionRecord* record = table != nullptr ? table->functions : nullptr;
             record != nullptr; record = record->next) {
            if (record->name != nullptr && name == record->name) {
                const auto* function = reinterpret_cast<const mox::FunctionEntry*>(record);
                out.handler = function->handler;
                out.request.method = static_cast<std::uint32_t>(method);
                out.request.path = path;
                out.request.context = function->description.dispatchContext;
            }
        }
        return out;
    }

    bool waitForCompletion() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            mox::HostResponse response{};
            experiments_.handler(&response, &experiments_.request);
            const mox::HostValue* list = member(response.body, "experiments");
            const mox::HostValue* game = list != nullptr ? member(*list, "game_latency") : nullptr;
            const mox::HostValue* status = game != nullptr ? member(*game, "status") : nullptr;
            const bool done = status != nullptr && isText(*status) &&
                              hostText(*status) == std::string_view("Completed");
            response.release(&response);
            if (done) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void captureFloorData() {
        FloorData& data = floorData();
        mox::HostResponse response{};
        experiments_.handler(&response, &experiments_.request);
        if (const mox::HostValue* list = member(response.body, "experiments")) {
            for (std::uint32_t i = 0; i < list->payload.structure.count; ++i) {
                const mox::HostMember& m = list->payload.structure.members[i];
                const mox::HostValue* status = member(m.value, "status");
                data.experiments.push_back(
                    {m.name, status != nullptr ? std::string(hostText(*status)) : ""});
            }
        }
        response.release(&response);
        response = {};
        gameLatency_.handler(&response, &gameLatency_.request);
        if (const mox::HostValue* results = member(response.body, "results")) {
            for (std::uint32_t i = 0; i < results->payload.array.count; ++i) {
                const mox::HostValue& r = results->payload.array.values[i];
                FloorResult result;
                if (const mox::HostValue* server = member(r, "server")) {
                    result.server = hostText(*server);
                }
                if (const mox::HostValue* size = member(r, "size")) {
                    result.size = size->payload.unsignedValue;
                }
                if (const mox::HostValue* latency = member(r, "latency")) {
                    result.latency = latency->payload.floatValue;
                }
                data.results.push_back(result);
            }
        }
        if (const mox::HostValue* timestamp = member(response.body, "timestamp")) {
            data.timestamp = hostText(*timestamp);
        }
        response.release(&response);
    }

    std::unique_ptr<mox::reflector::ProbeReflector> reflector_;
    mox::host::HostDouble host_;
    Entry experiments_;
    Entry gameLatency_;
    std::string error_;
};

LoadedPlugin& plugin() {
    static LoadedPlugin instance;
    return instance;
}

// The floor must answer exactly what the plugin answers.
bool floorMatches(const Entry& entry, mox::HostFunctionHandler floor) {
    mox::HostResponse real{};
    mox::HostResponse own{};
    entry.handler(&real, &entry.request);
    floor(&own, &entry.request);
    const bool same = real.isError == 0 && own.isError == 0 && real.status == own.status &&
                      sameHostValue(real.body, own.body);
    if (!same) {
        std::string text = "plugin: " + std::to_string(real.status) + " ";
        describe(text, real.body);
        text += "\nfloor:  " + std::to_string(own.status) + " ";
        describe(text, own.body);
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    real.release(&real);
    own.release(&own);
    return same;
}

void run(benchmark::State& state, mox::HostFunctionHandler handler,
         const mox::HostRequest& request) {
    mox::HostResponse response{};
    const mox::bench::AllocationSnapshot start = mox::bench::takeAllocationSnapshot();
    for (auto _ : state) {
        handler(&response, &request);
        if (response.isError != 0) {
            state.SkipWithError(response.errorText != nullptr ? response.errorText : "error");
            break;
        }
        response.release(&response);
    }
    mox::bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations());
}

void runEndpoint(benchmark::State& state, const Entry& (LoadedPlugin::*which)() const,
                 mox::HostFunctionHandler floor, bool useFloor) {
    LoadedPlugin& loaded = plugin();
    if (!loaded.error().empty()) {
        state.SkipWithError(loaded.error().c_str());
        return;
    }
    const Entry& entry = (loaded.*which)();
    if (!floorMatches(entry, floor)) {
        state.SkipWithError("the floor's answer differs from the plugin's");
        return;
    }
    run(state, useFloor ? floor : entry.handler, entry.request);
}

void BM_FrameworkExperiments(benchmark::State& state) {
    runEndpoint(state, &LoadedPlugin::experiments, &floorExperiments, false);
}
BENCHMARK(BM_FrameworkExperiments);

void BM_FloorExperiments(benchmark::State& state) {
    runEndpoint(state, &LoadedPlugin::experiments, &floorExperiments, true);
}
BENCHMARK(BM_FloorExperiments);

void BM_FrameworkGameLatency(benchmark::State& state) {
    runEndpoint(state, &LoadedPlugin::gameLatency, &floorGameLatency, false);
    state.counters["results"] = static_cast<double>(floorData().results.size());
}
BENCHMARK(BM_FrameworkGameLatency);

void BM_FloorGameLatency(benchmark::State& state) {
    runEndpoint(state, &LoadedPlugin::gameLatency, &floorGameLatency, true);
}
BENCHMARK(BM_FloorGameLatency);

// --- life cycle through the shared library --------------------------------------------------

void BM_LifeCycleSharedLibrary(benchmark::State& state) {
    mox::reflector::ReflectorOptions options;
    options.bindAddresses = {
        mox::platform::SocketAddress::loopback(mox::platform::AddressFamily::IPv4)};
    auto reflector = mox::reflector::ProbeReflector::start(options);
    if (!reflector.ok()) {
        state.SkipWithError("reflector did not start");
        return;
    }
    const std::uint16_t port =
        reflector.value()
            ->endpoint(mox::reflector::ProbeKind::GameLatency, mox::platform::AddressFamily::IPv4)
            ->port;
    double peak = 0;
    double left = 0;
    double startup = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto host = std::make_unique<mox::host::HostDouble>();
        host->serve(mox::host::kGet, mox::kNetworkTestingConfigPath,
                    mox::host::Reply::withValue(LoadedPlugin::configuration(port)));
        host->serveOthers(mox::host::Reply::ok());
        state.ResumeTiming();
        const auto begin = std::chrono::steady_clock::now();
        if (!host->loadLibrary(MOX_BENCH_PLUGIN_LIBRARY) || !host->initialize()) {
            state.SkipWithError(("the library did not load: " + host->libraryError()).c_str());
            return;
        }
        startup +=
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                .count();
        host->shutdown();
        // The entry table is gone with the plugin object; the statistics are still readable
        // through the entry the double copied at load, until the library is unloaded.
        const mox::MemoryStats after = host->memoryStatsAfterShutdown();
        peak = static_cast<double>(after.peakBytesInUse);
        left = static_cast<double>(after.bytesAllocated - after.bytesFreed);
        state.PauseTiming();
        host.reset();
        state.ResumeTiming();
    }
    state.counters["startup_us"] = startup / static_cast<double>(state.iterations());
    state.counters["peak_bytes"] = peak;
    state.counters["bytes_after_shutdown"] = left;
}
BENCHMARK(BM_LifeCycleSharedLibrary)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace
