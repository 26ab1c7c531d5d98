#pragma once
// The monospaced font of the memos, the tool tree and the modem panel.

#include <QFont>

namespace plat {
// The named typewriter family (pointSize > 0: that size); where the machine lacks it, or it is not fixed
// pitch, the system's own fixed font at the same size (where that is not fixed pitch either, the first
// fixed-pitch family the machine has), so columns line up on any machine.
QFont FixedFont(const char* family, int pointSize = -1);
} // namespace plat
