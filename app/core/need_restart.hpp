#pragma once

#include <exception>

namespace ic {

// Thrown when a changed setting can only take effect in a fresh process:
// the entry point ends the process with status 0 and PilotD starts it again.
class need_restart_t : public std::exception {};

} // namespace ic
