// The message pump hook. A window toolkit installs its event processing here so that the
// network waits keep it alive; without one the waits need not wake up for it.
#pragma once

#include <functional>

namespace quillo {

void SetProcessMessagesHook(std::function<void()> hook);
bool HasProcessMessagesHook();
// Processes every pending message of the toolkit, if one is installed.
void ProcessMessages();

} // namespace quillo
