// The small object model the components are built on: objects, owned components, events.
#pragma once

#include <functional>
#include <string>

namespace quillo {

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

// A component knows its owner; the owner destroys what it owns (here through RAII members).
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner = nullptr) : Owner(AOwner) {}
    TComponent* Owner;
};

// An event is an optional callable; an unassigned one is skipped by the caller.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;

} // namespace quillo
