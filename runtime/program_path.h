#pragma once
// Where the running program lies: the folder of its executable, with links resolved, without a
// trailing separator. The pulse sounds and the manual lie there. "." when the system does not
// tell (no /proc).

#include <string>

namespace runtime {

std::string programFolder();

}  // namespace runtime
