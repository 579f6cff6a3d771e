// File: logging/plugin_log_target.h
//
// `PluginLogTarget` hands each record's level and message text (not the rendered line) to the
// host's log through `HostServices` 9 (`HostLog`), so that every plugin's messages end up in
// the host's own log. Its line format serves only format(). The plugin base owns it.
//
// setUpPluginLog() is the switch from the built-in targets to the host, done once the host's
// services are known:
//   std::unique_ptr<mox::PluginLogTarget> target = mox::setUpPluginLog(binding->services);
#pragma once

#include <memory>

#include "logging/log_target.h"

namespace mox {

struct HostServices;

class PluginLogTarget final : public LogTarget {
  public:
    // `services` is borrowed and must outlive the target; null makes writes do nothing.
    explicit PluginLogTarget(HostServices* services);
    ~PluginLogTarget() override;

    const char* name() const override;
    // Calls HostLog with the record's level and message; the host's errors are ignored.
    bool writeRecord(const LogRecord& record) override;

  private:
    HostServices* services_;
};

// When the manager has no target named "PluginLogTarget": detaches the standard-output,
// standard-error and debugger-output targets, sets the manager's level to 0 and its
// suppressed groups to "XTR", creates a PluginLogTarget on `services` and configures it with
// level 0, no included or excluded groups and the format "#D| #L| #G| #M". From then on every
// message that passes the manager goes to the host only. Returns the new target for the
// caller to own, or null (changing nothing) when such a target is already attached.
std::unique_ptr<PluginLogTarget> setUpPluginLog(HostServices* services);

}  // namespace mox
