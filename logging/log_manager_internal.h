// File: logging/log_manager_internal.h (private to logging/)
//
// What the targets need from the manager to keep its list in step with their attached mark.
#pragma once

#include "platform/critical_section.h"

namespace mox {

struct LogTargetInterface;

namespace detail {

// The manager's lock. It exists before any manager and is never destroyed, so targets can
// take it during the manager's creation and release and during static destruction.
platform::CriticalSection& managerLock();

// Appends `target` to the manager's list, creating the manager when there is none.
// REQUIRES: managerLock() held.
void appendTarget(LogTargetInterface* target);

// Removes every occurrence of `target`, keeping the order of the rest; nothing when there
// is no manager. REQUIRES: managerLock() held.
void removeTarget(LogTargetInterface* target);

}  // namespace detail
}  // namespace mox
