#pragma once

#include <atomic>
#include <cstddef>

namespace Vorn {

// For a loop that must outlive a handler that throws: called from inside the
// catch block, it counts the failure in `count` and, in debug builds, writes
// `where` and the exception's text to stderr. It never throws.
void reportHandlerFailure(std::atomic<std::size_t>& count, const char* where) noexcept;

} // namespace Vorn
