#include "engine/HandlerFailure.h"

#include <cstdio>
#include <exception>

namespace Vorn {

void reportHandlerFailure(std::atomic<std::size_t>& count, const char* where) noexcept {
    count.fetch_add(1, std::memory_order_relaxed);
#ifndef NDEBUG
    const char* what = "an exception of unknown type";
    try {
        if (const std::exception_ptr current = std::current_exception())
            std::rethrow_exception(current);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "%s: a handler threw (%s); going on with the next\n", where, what);
#else
    (void)where;
#endif
}

} // namespace Vorn
