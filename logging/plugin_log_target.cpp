#include "logging/plugin_log_target.h"

#include <mutex>

#include "logging/log_manager.h"
#include "logging/log_manager_internal.h"
#include "plugin/entry/host_services.h"

namespace mox {

PluginLogTarget::PluginLogTarget(HostServices* services) : services_(services) {}

PluginLogTarget::~PluginLogTarget() {
    detach();
}

const char* PluginLogTarget::name() const {
    return "PluginLogTarget";
}

bool PluginLogTarget::writeRecord(const LogRecord& record) {
    if (services_ != nullptr && services_->hostLog != nullptr) {
        services_->hostLog(services_, record.level, record.message);
    }
    return true;
}

std::unique_ptr<PluginLogTarget> setUpPluginLog(HostServices* services) {
    // One step under the manager's lock, so two threads cannot both install a target.
    std::lock_guard<platform::CriticalSection> guard(detail::managerLock());
    if (LogManager::findTarget("PluginLogTarget") != nullptr) {
        return nullptr;
    }
    for (LogTargetInterface* builtIn :
         {LogManager::stdoutTarget(), LogManager::stderrTarget(), LogManager::debuggerTarget()}) {
        builtIn->functions->detach(builtIn);
    }
    LogManager::setLevel(kLogOkay);
    LogManager::setSuppressedGroups(kGroupXtr);
    auto target = std::make_unique<PluginLogTarget>(services);
    LogTargetConfig config;
    config.level = static_cast<std::uint32_t>(LogManager::getLevel());
    config.included = 0;
    config.excluded = 0;
    config.format = "#D| #L| #G| #M";
    target->configure(config);
    return target;
}

}  // namespace mox
