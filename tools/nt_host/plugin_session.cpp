#include "tools/nt_host/plugin_session.h"

#include <string_view>

#include "network_testing/network_testing_plugin.h"
#include "platform/abi.h"
#include "platform/socket.h"
#include "plugin/entry/plugin_entry.h"
#include "plugin/plugin_base.h"
#include "tools/nt_host/config_file.h"
#include "tools/reflector/probe_reflector.h"

namespace mox::nthost {
namespace {

// What the library's export does, for the copy of the plugin built into nt-host (`help`);
// nt-host does not rely on the export symbol itself being linked in.
void MOX_CDECL loadBuiltInPlugin(PluginLoadRecord* record) {
    loadPlugin<NetworkTestingPlugin>(record, "network-testing");
}

constexpr std::string_view kTelemetryPrefix = "/telemetry/v1/events/";
constexpr const char* kTelemetryEvents[] = {"probes__game_latency", "probes__ipv4_options",
                                            "probes__ipv6_support"};

std::string versionText(std::uint32_t major, std::uint32_t minor, std::uint32_t patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

}  // namespace

std::string defaultPluginPath(const std::string& argv0) {
    const std::size_t slash = argv0.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : argv0.substr(0, slash);
    return folder + "/" + NT_HOST_PLUGIN_FILE_NAME;
}

std::string defaultPluginFileName() {
    return NT_HOST_PLUGIN_FILE_NAME;
}

PluginSession::PluginSession() {
    for (const char* name : kTelemetryEvents)
        host_.serve(host::kPost, std::string(kTelemetryPrefix) + name, host::Reply::ok());
}

PluginSession::~PluginSession() {
    shutdown();
    stopReflector();
}

bool PluginSession::startDemoReflector(Value& config, std::string& description,
                                       std::string& error) {
    using platform::AddressFamily;
    using reflector::ProbeKind;
    reflector::ReflectorOptions options;
    options.replyDelay = kDemoReplyDelay;
    // A machine without IPv6 still runs the demo; the IPv6 experiment then reports no datagram.
    options.skipUnavailableAddresses = true;
    auto started = reflector::ProbeReflector::start(options);
    if (!started.ok()) {
        error = "cannot start the probe reflector: " + started.error().message;
        return false;
    }
    reflector_ = std::move(started.value());
    DemoEndpoints endpoints;
    const auto portOf = [&](ProbeKind kind, AddressFamily family, std::uint16_t fallback) {
        const auto endpoint = reflector_->endpoint(kind, family);
        return endpoint ? endpoint->port : fallback;
    };
    endpoints.gameLatencyPort = portOf(ProbeKind::GameLatency, AddressFamily::IPv4, 5499);
    endpoints.ipv4OptionsPort = portOf(ProbeKind::IPv4Options, AddressFamily::IPv4, 5498);
    endpoints.ipv6SupportPort = portOf(ProbeKind::IPv6Support, AddressFamily::IPv6, 5497);
    config = demoConfiguration(endpoints);
    description = "built-in demo: reflector on 127.0.0.1 (game latency port " +
                  std::to_string(endpoints.gameLatencyPort) + ", IPv4 options port " +
                  std::to_string(endpoints.ipv4OptionsPort) + ") and ::1 (IPv6 support port " +
                  std::to_string(endpoints.ipv6SupportPort) + "), reply delay " +
                  std::to_string(kDemoReplyDelay.count()) + " ms";
    for (const std::string& skipped : reflector_->skippedAddresses())
        description += "; skipped " + skipped;
    return true;
}

std::vector<std::pair<std::string, std::uint64_t>> PluginSession::stopReflector() {
    std::vector<std::pair<std::string, std::uint64_t>> counters;
    if (!reflector_)
        return counters;
    reflector_->stop();
    const reflector::ReflectorSnapshot snapshot = reflector_->snapshot();
    reflector::Ipv4OptionsCounts options;
    for (const auto& [id, counts] : snapshot.ipv4OptionsById) {
        options.withRouterAlert += counts.withRouterAlert;
        options.withoutRouterAlert += counts.withoutRouterAlert;
        options.routerAlertUnknown += counts.routerAlertUnknown;
    }
    counters = {
        {"gameLatencyDatagrams", snapshot.gameLatency.datagrams},
        {"gameLatencyAnswered", snapshot.gameLatency.answered},
        {"gameLatencyMalformed", snapshot.gameLatency.malformed},
        {"ipv4OptionsDatagrams", snapshot.ipv4Options.datagrams},
        {"ipv4OptionsWithRouterAlert", options.withRouterAlert},
        {"ipv4OptionsWithoutRouterAlert", options.withoutRouterAlert},
        {"ipv4OptionsRouterAlertUnknown", options.routerAlertUnknown},
        {"ipv6SupportDatagrams", snapshot.ipv6Support.datagrams},
    };
    reflector_.reset();
    return counters;
}

void PluginSession::serveConfiguration(const Value& config) {
    host_.serve(host::kGet, kConfigNamespacePath, host::Reply::withValue(config));
}

bool PluginSession::load(const std::string& path, std::string& error) {
    bool loaded = false;
    if (path.empty()) {
        loaded = host_.load(&loadBuiltInPlugin, hostMajor_, hostMinor_, hostPatch_);
        if (!loaded)
            error = "the built-in plugin did not fill its load record";
    } else {
        loaded = host_.loadLibrary(path);
        if (!loaded) {
            error = host_.libraryError().empty()
                        ? path + ": the plugin did not fill its load record"
                        : path + ": " + host_.libraryError();
        }
    }
    if (loaded)
        api_ = readPluginApi(host_.functionTable());
    return loaded;
}

bool PluginSession::initialize() {
    initialised_ = host_.initialize();
    return initialised_;
}

void PluginSession::shutdown() {
    if (shutDown_ || !host_.isLoaded())
        return;
    shutDown_ = true;
    host_.shutdown();
}

std::string PluginSession::shortName() const {
    const char* name = host_.record().shortName;
    return name != nullptr ? name : "";
}

std::string PluginSession::pluginApiVersion() const {
    const PluginLoadRecord& record = host_.record();
    return versionText(record.apiMajor, record.apiMinor, record.apiPatch);
}

std::string PluginSession::hostApiVersion() const {
    return versionText(hostMajor_, hostMinor_, hostPatch_);
}

Answer PluginSession::request(std::uint32_t method, const std::string& path) {
    Answer answer;
    const ApiFunction* function = findFunction(api_, method, path);
    if (function == nullptr || shutDown_)
        return answer;
    host::CallAnswer call = host_.call(function->name, method, path);
    answer.routed = call.found;
    answer.isError = call.isError;
    answer.status = call.status;
    answer.errorText = call.errorText;
    answer.body = std::move(call.body);
    return answer;
}

std::vector<TelemetryEvent> PluginSession::takeTelemetry(double atSeconds) {
    std::vector<TelemetryEvent> events;
    const std::vector<host::RecordedRequest> requests = host_.requests();
    for (std::size_t i = requestsTaken_; i < requests.size(); ++i) {
        const host::RecordedRequest& request = requests[i];
        if (request.method != host::kPost || request.path.rfind(kTelemetryPrefix, 0) != 0)
            continue;
        TelemetryEvent event;
        event.name = request.path.substr(kTelemetryPrefix.size());
        event.atSeconds = atSeconds;
        if (!request.arguments.empty()) {
            const Value& fields = request.arguments.front().value;
            for (const ConstValueMember& member : fields.members()) {
                event.fields.emplace_back(std::string(member.name),
                                          std::string(member.value.asString()));
            }
        }
        events.push_back(std::move(event));
    }
    requestsTaken_ = requests.size();
    return events;
}

std::vector<host::LogLine> PluginSession::takeLogLines() {
    std::vector<host::LogLine> lines = host_.logLines();
    std::vector<host::LogLine> fresh;
    for (std::size_t i = logLinesTaken_; i < lines.size(); ++i)
        fresh.push_back(std::move(lines[i]));
    logLinesTaken_ = lines.size();
    return fresh;
}

void PluginSession::forgetTakenRecords() {
    host_.clearRecords();
    requestsTaken_ = 0;
    logLinesTaken_ = 0;
}

void PluginSession::setYieldHandler(std::function<void()> handler) {
    host_.setYieldHandler(std::move(handler));
}

}  // namespace mox::nthost
