#include "platform/Console.h"

namespace plat {

void UseParentConsole() {}

} // namespace plat
