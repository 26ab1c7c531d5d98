#pragma once
// Which far end answers a call of the simulated modem when nobody chose one: the process-wide default
// far-end factory. It is the loop-back peer until another is registered (the simulated lift controller
// registers itself here when it joins the program).

#include "sim/SimPeer.h"

namespace sim {

// Replaces the default far-end factory; an empty factory restores the loop-back peer.
void SetDefaultFarEndFactory(TFarEndFactory factory);
// The factory in force now. Safe to call from any thread.
TFarEndFactory DefaultFarEndFactory();
// A factory that asks for the default at each call, so a factory registered later still counts.
TFarEndFactory CurrentDefaultFarEnds();

} // namespace sim
