#include "platform/Pump.h"

#include <utility>

namespace quillo {

namespace {
std::function<void()>& Hook() {
    static std::function<void()> hook;
    return hook;
}
} // namespace

void SetProcessMessagesHook(std::function<void()> hook) { Hook() = std::move(hook); }

bool HasProcessMessagesHook() { return static_cast<bool>(Hook()); }

void ProcessMessages() {
    if (auto& hook = Hook())
        hook();
}

} // namespace quillo
