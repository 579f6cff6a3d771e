// Requests per second through `handleFunctionRequest`, as the host calls it:
//   - a literal route with no arguments returning a small record;
//   - a pattern route with a path parameter, a query parameter and a JSON body.
// Each iteration dispatches one request and releases its response. Counters per request:
// heap allocations (operator new) and allocation-layer allocations. The route is built anew
// for every request; a literal route compiles nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "allocation_counter.h"
#include "binding/builtin_types.h"
#include "binding/type_builder.h"
#include "binding/type_registry.h"
#include "routing/endpoint.h"
#include "routing/function_table.h"
#include "routing/host_request.h"
#include "routing/host_response.h"
#include "routing/request_dispatch.h"

namespace {

struct Status {
    std::string name;
    std::uint32_t state = 0;
    double latency = 0.0;
};

struct Payload {
    std::string label;
    std::vector<std::int64_t> values;
};

class RouterBench {
  public:
    RouterBench() {
        mox::setUpBuiltinTypes(registry_);
        registry_.beginStruct<Status>("Status")
            .field("name", &Status::name)
            .field("state", &Status::state)
            .field("latency", &Status::latency)
            .finish();
        registry_.beginStruct<Payload>("Payload")
            .field("label", &Payload::label)
            .field("values", &Payload::values)
            .finish();
        router_.bind(mox::RequestMethod::Get, "/network-testing/v1/experiments", [] {
            return Status{"game_latency", 3, 12.5};
        });
        router_
            .bind(mox::RequestMethod::Post, "/items/{id}/{+rest}",
                  [](std::uint32_t id, std::string rest, std::uint32_t limit, Payload body) {
                      return Status{body.label, id + limit, static_cast<double>(rest.size())};
                  },
                  {"id", "rest", "limit", "body"})
            .location("id", mox::ParameterLocation::Path)
            .location("body", mox::ParameterLocation::Body);
        router_.buildFunctionTable();
    }

    const mox::DispatchContext* context(const char* name) const {
        return router_.dispatchContextFor(name);
    }

  private:
    mox::TypeRegistry registry_;
    mox::FunctionRouter router_{registry_};
};

RouterBench& bench() {
    static RouterBench instance;
    return instance;
}

void run(benchmark::State& state, const mox::HostRequest& request) {
    mox::HostResponse response{};
    const mox::bench::AllocationSnapshot start = mox::bench::takeAllocationSnapshot();
    for (auto _ : state) {
        mox::handleFunctionRequest(&response, &request);
        if (response.isError != 0) {
            state.SkipWithError(response.errorText != nullptr ? response.errorText : "error");
            break;
        }
        response.release(&response);
    }
    mox::bench::reportAllocations(state, start);
    state.SetItemsProcessed(state.iterations());
}

void BM_LiteralRouteNoArguments(benchmark::State& state) {
    mox::HostRequest request{};
    request.method = 2;
    request.path = "/network-testing/v1/experiments";
    request.context =
        const_cast<mox::DispatchContext*>(bench().context("GetNetworkTestingV1Experiments"));
    run(state, request);
}
BENCHMARK(BM_LiteralRouteNoArguments);

void BM_PatternRouteQueryAndJsonBody(benchmark::State& state) {
    static const char kBody[] = "{\"label\":\"probe\",\"values\":[1,2,3,4]}";
    mox::HostRequest request{};
    request.method = 6;
    request.path = "/items/42/a/b?limit=7";
    request.context = const_cast<mox::DispatchContext*>(bench().context("PostItemsByIdByRest"));
    request.contentType = "application/json";
    request.body = reinterpret_cast<const std::uint8_t*>(kBody);
    request.bodySize = sizeof kBody - 1;
    run(state, request);
}
BENCHMARK(BM_PatternRouteQueryAndJsonBody);

}  // namespace
