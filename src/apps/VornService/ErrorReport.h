#pragma once

#include <string>

// What the user is told about an exception that reached the edge of the
// window layer, where nothing else could handle it: nothing may end there
// without a word.
namespace ErrorReport {

// The text of the exception being handled: an Exception's message, a standard
// exception's what(), or a general text for anything else (or an empty one).
// Call only inside a catch block.
std::string describeCurrentException();

} // namespace ErrorReport
