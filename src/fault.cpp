#include "fault.hpp"

namespace velkor {

void fault(const char* message) { throw Fault(message); }
void fault() { throw Fault(); }

}  // namespace velkor
