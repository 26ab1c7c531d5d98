#pragma once
// What the status light controller needs of a light: whether it is lit, and switching it. A light
// tells the controller (through its free notification) when it is destroyed, and the controller
// forgets it.

#include "serial/core/SxFreeNotify.h"

namespace sx {

class ISxLight : public TSxFreeNotifier {
public:
    virtual bool Lit() const = 0;
    // Switching to the state the light already has changes nothing (no repaint).
    virtual void SetLit(bool lit) = 0;
};

} // namespace sx
