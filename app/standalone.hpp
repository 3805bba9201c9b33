#pragma once

// The command line of a process started without PilotD: help, version and
// the hidden dump of the executable's information.
// Never returns; an option the parser rejects leaves it with the parser's
// exception.
[[noreturn]] void cf_run_standalone(const char* name, const char* version, int argc, char* argv[]);
