#include "net/tick_count.h"

#include <windows.h>

namespace corvel {

std::uint32_t TickCount() { return ::GetTickCount(); }

}  // namespace corvel
