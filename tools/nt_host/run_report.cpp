#include "tools/nt_host/run_report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tools/nt_host/json_writer.h"

namespace mox::nthost {
namespace {

constexpr int kFormatVersion = 1;

constexpr const char* kIpv4Phases[] = {"plain", "opt20zero", "opt20nonzero"};

std::string formatMs(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

// A counter of the plugin's telemetry as a number; nullopt if absent or not a plain decimal.
std::optional<std::uint64_t> counter(const TelemetryEvent* event, std::string_view key) {
    if (event == nullptr)
        return std::nullopt;
    const std::string* text = event->field(key);
    if (text == nullptr || text->empty() || text->size() > 20)
        return std::nullopt;
    for (char c : *text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    return std::strtoull(text->c_str(), nullptr, 10);
}

std::string counterText(const std::optional<std::uint64_t>& value) {
    return value ? std::to_string(*value) : std::string("?");
}

void writeCounter(JsonWriter& json, const std::optional<std::uint64_t>& value) {
    if (value)
        json.number(*value);
    else
        json.null();
}

std::optional<double> latencyOf(const Value& latency) {
    switch (latency.kind()) {
        case ValueKind::Float:
            return latency.asFloat();
        case ValueKind::Signed:
            return static_cast<double>(latency.asSigned());
        case ValueKind::Unsigned:
            return static_cast<double>(latency.asUnsigned());
        default:
            return std::nullopt;
    }
}

void summarize(ServerLatency& server) {
    server.summary = summarizeLatency(server.roundTrips);
    server.histogram = buildHistogram(server.roundTrips);
}

void writeOptionalMs(JsonWriter& json, const char* key, bool present, double value) {
    json.key(key);
    if (present)
        json.number(value);
    else
        json.null();
}

void writeServer(JsonWriter& json, const ServerLatency& server) {
    const LatencySummary& s = server.summary;
    json.beginObject();
    json.key("server").string(server.server);
    json.key("probeSize").number(static_cast<std::uint64_t>(server.probeSize));
    json.key("sent").number(static_cast<std::uint64_t>(s.sent));
    json.key("received").number(static_cast<std::uint64_t>(s.received));
    json.key("lossPercent").number(s.lossPercent);
    writeOptionalMs(json, "minMs", s.hasLatency(), s.minMs);
    writeOptionalMs(json, "medianMs", s.hasLatency(), s.medianMs);
    writeOptionalMs(json, "p95Ms", s.hasLatency(), s.p95Ms);
    writeOptionalMs(json, "maxMs", s.hasLatency(), s.maxMs);
    writeOptionalMs(json, "meanMs", s.hasLatency(), s.meanMs);
    writeOptionalMs(json, "jitterMs", s.hasLatency(), s.jitterMs);
    json.key("roundTripsMs").beginArray();
    for (const std::optional<double>& rtt : server.roundTrips) {
        if (rtt)
            json.number(*rtt);
        else
            json.null();
    }
    json.endArray();
    json.key("histogram").beginArray();
    for (const HistogramBin& bin : server.histogram) {
        json.beginObject();
        json.key("fromMs").number(bin.fromMs);
        json.key("toMs").number(bin.toMs);
        json.key("count").number(static_cast<std::uint64_t>(bin.count));
        json.endObject();
    }
    json.endArray();
    json.endObject();
}

void writeGameLatency(JsonWriter& json, const GameLatencyResults& results) {
    json.key("timestamp").string(results.timestamp);
    json.key("servers").beginArray();
    for (const ServerLatency& server : results.servers)
        writeServer(json, server);
    json.endArray();
}

std::string serverText(const ServerLatency& server, bool withHistogram) {
    const LatencySummary& s = server.summary;
    std::string out =
        "  " + server.server + "  (probe size " + std::to_string(server.probeSize) + " bytes)\n";
    char line[256];
    std::snprintf(line, sizeof line, "    probes    %zu sent, %zu received, %.1f%% loss\n", s.sent,
                  s.received, s.lossPercent);
    out += line;
    if (!s.hasLatency()) {
        out += "    latency   no reply\n";
        return out;
    }
    out += "    latency   min " + formatMs(s.minMs) + "  median " + formatMs(s.medianMs) +
           "  p95 " + formatMs(s.p95Ms) + "  max " + formatMs(s.maxMs) + " ms\n";
    out += "    jitter    " + formatMs(s.jitterMs) + " ms (mean " + formatMs(s.meanMs) + " ms)\n";
    if (withHistogram)
        out += renderHistogram(server.histogram, "    ");
    return out;
}

}  // namespace

const std::string* TelemetryEvent::field(std::string_view key) const {
    for (const auto& [name, value] : fields) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

const TelemetryEvent* RunReport::event(std::string_view name) const {
    for (const TelemetryEvent& e : telemetry) {
        if (e.name == name)
            return &e;
    }
    return nullptr;
}

std::optional<GameLatencyResults> readGameLatencyResults(const Value& body, std::string& problem) {
    if (body.kind() != ValueKind::Structure) {
        problem = std::string("the game-latency results are not a structure but ") +
                  (body.isEmpty() ? "empty" : body.kindName());
        return std::nullopt;
    }
    const Value& results = body.find("results");
    if (results.kind() != ValueKind::Collection && !results.isEmpty()) {
        problem = "the game-latency results have no collection 'results'";
        return std::nullopt;
    }
    GameLatencyResults out;
    out.timestamp = std::string(body.find("timestamp").asString());
    for (const Value& result : results.elements()) {
        const std::string server(result.find("server").asString());
        auto it = std::find_if(out.servers.begin(), out.servers.end(),
                               [&](const ServerLatency& s) { return s.server == server; });
        if (it == out.servers.end()) {
            out.servers.push_back({});
            it = std::prev(out.servers.end());
            it->server = server;
        }
        it->probeSize = static_cast<std::uint32_t>(result.find("size").asUnsigned(
            static_cast<std::uint64_t>(result.find("size").asSigned(0))));
        it->roundTrips.push_back(latencyOf(result.find("latency")));
    }
    for (ServerLatency& server : out.servers)
        summarize(server);
    return out;
}

void mergeGameLatencyResults(GameLatencyResults& into, const GameLatencyResults& more) {
    into.timestamp = more.timestamp;
    for (const ServerLatency& server : more.servers) {
        auto it = std::find_if(into.servers.begin(), into.servers.end(),
                               [&](const ServerLatency& s) { return s.server == server.server; });
        if (it == into.servers.end()) {
            into.servers.push_back(server);
            continue;
        }
        it->probeSize = server.probeSize;
        it->roundTrips.insert(it->roundTrips.end(), server.roundTrips.begin(),
                              server.roundTrips.end());
        summarize(*it);
    }
}

std::string printableText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return out;
}

std::string telemetryLine(const TelemetryEvent& event) {
    std::vector<std::pair<std::string, std::string>> fields = event.fields;
    std::sort(fields.begin(), fields.end());
    std::string line = "telemetry " + event.name + ":";
    bool first = true;
    for (const auto& [name, value] : fields) {
        line += first ? " " : ", ";
        line += name + "=" + value;
        first = false;
    }
    return printableText(line);
}

std::string renderRunText(const RunReport& report) {
    std::string out;
    char line[256];
    out += "\nExperiments\n";
    for (const ExperimentOutcome& experiment : report.experiments) {
        std::string note;
        if (experiment.enabled && experiment.status == "Completed" && !experiment.reported)
            note = "  (completed without reporting a result)";
        else if (!experiment.enabled)
            note = "  (probability 0 in the configuration)";
        std::snprintf(line, sizeof line, "  %-14s %s", experiment.name.c_str(),
                      experiment.status.c_str());
        out += line;
        if (!note.empty())
            out += std::string(experiment.status.size() < 11 ? 11 - experiment.status.size() : 0,
                               ' ') +
                   note;
        out += "\n";
    }

    out += "\nGame latency";
    if (report.gameLatency) {
        if (!report.gameLatency->timestamp.empty())
            out += " (" + report.gameLatency->timestamp + ")";
        out += "\n";
        if (report.gameLatency->servers.empty())
            out += "  no probe was sent\n";
        for (const ServerLatency& server : report.gameLatency->servers)
            out += serverText(server, true);
    } else {
        out += "\n  " +
               (report.gameLatencyError.empty() ? std::string("no results")
                                                : report.gameLatencyError) +
               "\n";
    }

    out += "\nIPv4 options";
    if (const TelemetryEvent* ipv4 = report.event("probes__ipv4_options")) {
        const std::string* target = ipv4->field("target.ip");
        const std::string* id = ipv4->field("experiment.id");
        out += " (target " + printableText(target ? *target : std::string("?")) +
               ", experiment id " + printableText(id ? *id : std::string("?")) + ")\n";
        out += "  phase          sent  error\n";
        bool refused = false;
        std::uint64_t optionSent = 0;
        for (const char* phase : kIpv4Phases) {
            const std::string prefix = std::string("probes.") + phase;
            const auto sent = counter(ipv4, prefix + ".sent");
            const auto error = counter(ipv4, prefix + ".error");
            std::snprintf(line, sizeof line, "  %-13s %5s  %5s\n", phase, counterText(sent).c_str(),
                          counterText(error).c_str());
            out += line;
            if (std::string_view(phase) != "plain") {
                refused = refused || error.value_or(0) != 0;
                optionSent += sent.value_or(0);
            }
        }
        if (refused)
            out += "  the system refused the Router Alert option on the socket\n";
        else if (optionSent > 0)
            out += "  datagrams with the Router Alert option left the machine\n";
        else
            out += "  no datagram with the Router Alert option was sent\n";
    } else {
        out += "\n  no result\n";
    }

    out += "\nIPv6 support";
    if (const TelemetryEvent* ipv6 = report.event("probes__ipv6_support")) {
        const std::string* target = ipv6->field("target.ip");
        const auto sent = counter(ipv6, "probes.sent");
        out += " (target " + printableText(target ? *target : std::string("?")) + ")\n";
        out += "  " + counterText(sent) + " datagrams sent: " +
               (sent.value_or(0) > 0 ? "IPv6 datagrams left the machine"
                                     : "no IPv6 datagram could be sent") +
               "\n";
    } else {
        out += "\n  no result\n";
    }

    if (!report.reflectorCounters.empty()) {
        out += "\nReflector (what arrived at the in-process probe server)\n";
        for (const auto& [name, value] : report.reflectorCounters) {
            std::snprintf(line, sizeof line, "  %-34s %llu\n", name.c_str(),
                          static_cast<unsigned long long>(value));
            out += line;
        }
    }

    std::snprintf(line, sizeof line, "\n%s after %.1f s (exit code %d)\n",
                  exitCodeName(report.outcome), report.elapsedSeconds, toInt(report.outcome));
    out += line;
    return out;
}

std::string renderRunJson(const RunReport& report) {
    JsonWriter json(true);
    json.beginObject();
    json.key("formatVersion").number(kFormatVersion);
    json.key("command").string("run");
    json.key("outcome").string(exitCodeName(report.outcome));
    json.key("exitCode").number(toInt(report.outcome));
    json.key("elapsedSeconds").number(report.elapsedSeconds);

    json.key("plugin").beginObject();
    json.key("path").string(report.pluginPath);
    json.key("shortName").string(report.pluginShortName);
    json.key("apiVersion").string(report.pluginApiVersion);
    json.key("hostApiVersion").string(report.hostApiVersion);
    json.endObject();

    json.key("configuration").beginObject();
    json.key("source").string(report.configSource);
    json.key("values").value(report.config);
    json.endObject();

    json.key("warnings").beginArray();
    for (const std::string& warning : report.warnings)
        json.string(warning);
    json.endArray();

    json.key("experiments").beginObject();
    for (const ExperimentOutcome& experiment : report.experiments) {
        json.key(experiment.name).beginObject();
        json.key("status").string(experiment.status);
        json.key("enabled").boolean(experiment.enabled);
        json.key("reported").boolean(experiment.reported);
        json.endObject();
    }
    json.endObject();

    json.key("telemetry").beginArray();
    for (const TelemetryEvent& event : report.telemetry) {
        json.beginObject();
        json.key("name").string(event.name);
        json.key("atSeconds").number(event.atSeconds);
        json.key("fields").beginObject();
        for (const auto& [name, value] : event.fields)
            json.key(name).string(value);
        json.endObject();
        json.endObject();
    }
    json.endArray();

    json.key("gameLatency");
    if (report.gameLatency) {
        json.beginObject();
        json.key("error").null();
        writeGameLatency(json, *report.gameLatency);
        json.endObject();
    } else if (!report.gameLatencyError.empty()) {
        json.beginObject();
        json.key("error").string(report.gameLatencyError);
        json.key("timestamp").string("");
        json.key("servers").beginArray().endArray();
        json.endObject();
    } else {
        json.null();
    }

    json.key("ipv4Options");
    if (const TelemetryEvent* ipv4 = report.event("probes__ipv4_options")) {
        json.beginObject();
        const std::string* target = ipv4->field("target.ip");
        const std::string* id = ipv4->field("experiment.id");
        json.key("target").string(target ? *target : "");
        json.key("experimentId").string(id ? *id : "");
        json.key("phases").beginObject();
        std::uint64_t optionSent = 0;
        for (const char* phase : kIpv4Phases) {
            const std::string prefix = std::string("probes.") + phase;
            const auto sent = counter(ipv4, prefix + ".sent");
            json.key(phase).beginObject();
            json.key("sent");
            writeCounter(json, sent);
            json.key("error");
            writeCounter(json, counter(ipv4, prefix + ".error"));
            json.endObject();
            if (std::string_view(phase) != "plain")
                optionSent += sent.value_or(0);
        }
        json.endObject();
        json.key("routerAlertSent").boolean(optionSent > 0);
        json.endObject();
    } else {
        json.null();
    }

    json.key("ipv6Support");
    if (const TelemetryEvent* ipv6 = report.event("probes__ipv6_support")) {
        json.beginObject();
        const std::string* target = ipv6->field("target.ip");
        const std::string* id = ipv6->field("experiment.id");
        const auto sent = counter(ipv6, "probes.sent");
        json.key("target").string(target ? *target : "");
        json.key("experimentId").string(id ? *id : "");
        json.key("sent");
        writeCounter(json, sent);
        json.key("ipv6Sent").boolean(sent.value_or(0) > 0);
        json.endObject();
    } else {
        json.null();
    }

    json.key("reflector");
    if (report.reflectorCounters.empty()) {
        json.null();
    } else {
        json.beginObject();
        for (const auto& [name, value] : report.reflectorCounters)
            json.key(name).number(value);
        json.endObject();
    }
    json.endObject();
    return json.take() + "\n";
}

std::string renderRoundText(const MeasureRound& round) {
    char line[256];
    std::snprintf(line, sizeof line, "round %3u  %7.1f s  ", round.index, round.atSeconds);
    std::string out = line;
    if (!round.error.empty() || !round.results) {
        out += "failed: " + (round.error.empty() ? std::string("no results") : round.error);
        if (round.status != 0)
            out += " (status " + std::to_string(round.status) + ")";
        return out + "\n";
    }
    bool first = true;
    for (const ServerLatency& server : round.results->servers) {
        const LatencySummary& s = server.summary;
        if (!first)
            out += "\n                     ";
        first = false;
        std::snprintf(line, sizeof line, "%s  %zu/%zu received",
                      printableText(server.server).c_str(), s.received, s.sent);
        out += line;
        if (s.hasLatency()) {
            out += "  min " + formatMs(s.minMs) + "  median " + formatMs(s.medianMs) + "  max " +
                   formatMs(s.maxMs) + "  jitter " + formatMs(s.jitterMs) + " ms";
        }
    }
    if (round.results->servers.empty())
        out += "no probe was sent";
    return out + "\n";
}

std::string renderRoundJson(const MeasureRound& round) {
    JsonWriter json;
    json.beginObject();
    json.key("formatVersion").number(kFormatVersion);
    json.key("command").string("measure");
    json.key("round").number(static_cast<std::uint64_t>(round.index));
    json.key("atSeconds").number(round.atSeconds);
    json.key("status").number(static_cast<std::uint64_t>(round.status));
    json.key("error");
    if (round.error.empty())
        json.null();
    else
        json.string(round.error);
    json.key("gameLatency");
    if (round.results) {
        json.beginObject();
        writeGameLatency(json, *round.results);
        json.endObject();
    } else {
        json.null();
    }
    json.endObject();
    return json.take();
}

std::string renderMeasureSummaryText(const MeasureSummary& summary) {
    std::string out = "\nSummary over " + std::to_string(summary.rounds) + " rounds";
    if (summary.failedRounds > 0)
        out += " (" + std::to_string(summary.failedRounds) + " failed)";
    out += "\n";
    for (const ServerLatency& server : summary.all.servers)
        out += serverText(server, true);
    return out;
}

std::string renderMeasureSummaryJson(const MeasureSummary& summary) {
    JsonWriter json;
    json.beginObject();
    json.key("formatVersion").number(kFormatVersion);
    json.key("command").string("measure");
    json.key("summary").beginObject();
    json.key("rounds").number(static_cast<std::uint64_t>(summary.rounds));
    json.key("failedRounds").number(static_cast<std::uint64_t>(summary.failedRounds));
    json.key("servers").beginArray();
    for (const ServerLatency& server : summary.all.servers)
        writeServer(json, server);
    json.endArray();
    json.endObject();
    json.endObject();
    return json.take();
}

}  // namespace mox::nthost
