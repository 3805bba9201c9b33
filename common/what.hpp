#pragma once

// The text of an exception for a log line.

#include <exception>
#include <string>

// The exception's what() with a leading run of "boost::" namespace
// qualifiers removed ("boost::filesystem::directory_iterator::construct:"
// reads "opendir:"), "Not enough memory" for a std::bad_alloc, and for a
// boost::system::system_error its code's category and value in brackets
// after the code's message: "async_send_message: Invalid IPC message size
// [ox.Error:7]". Never throws and never returns null. A returned pointer
// points into the exception, or into a small per-thread ring of rewritten
// texts that the following rewrites on the same thread reuse.
const char* cf_what(const std::exception& e) noexcept;

// The same text for a stored std::exception; "ErrorCode: " and the display
// text for a thrown ox::ErrorCode; "Unexpected exception" for anything
// else; the display text of EC_OK for an empty pointer.
std::string cf_what(const std::exception_ptr& p);
