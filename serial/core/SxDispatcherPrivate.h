#pragma once
// The dispatcher's own times, shared by the files that implement TSxBaseDispatcher (SxDispatcher*.cpp);
// nothing outside serial/core includes this.

#include <chrono>

namespace sx {

constexpr auto PollInterval = std::chrono::milliseconds(50);
// How long a run of input messages on the GUI thread goes on with bytes that keep arriving.
constexpr auto MaxGuiRun = std::chrono::milliseconds(20);
constexpr auto StartTimeout = std::chrono::milliseconds(3000);
constexpr auto FlushAckTimeout = std::chrono::milliseconds(3000);
constexpr auto DrainTimeout = std::chrono::milliseconds(10000);

} // namespace sx
