#pragma once
// What the files of the port component share and nobody else uses. Included by SxComPort*.cpp only.

#include <string>

namespace sx::comport {

// A text of the dispatcher log vocabulary.
std::string Word(int id);

} // namespace sx::comport
