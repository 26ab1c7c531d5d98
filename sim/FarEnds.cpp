#include "sim/FarEnds.h"

#include "sim/LoopbackPeer.h"

#include <mutex>

namespace sim {

namespace {
std::mutex& Lock() {
    static std::mutex m;
    return m;
}
TFarEndFactory& Registered() {
    static TFarEndFactory f;
    return f;
}
} // namespace

void SetDefaultFarEndFactory(TFarEndFactory factory) {
    std::lock_guard<std::mutex> g(Lock());
    Registered() = std::move(factory);
}

TFarEndFactory DefaultFarEndFactory() {
    {
        std::lock_guard<std::mutex> g(Lock());
        if (Registered()) return Registered();
    }
    return [](TFault fault) -> std::unique_ptr<IFarEnd> { return std::make_unique<TLoopbackPeer>(fault); };
}

TFarEndFactory CurrentDefaultFarEnds() {
    return [](TFault fault) { return DefaultFarEndFactory()(fault); };
}

} // namespace sim
