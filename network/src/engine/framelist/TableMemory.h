#pragma once

#include <cstddef>

namespace Vorn {

// Gives back a hash table's bucket array once a flood has passed and the table
// is far smaller than it was.
template <class Table> void shrinkAfterFlood(Table& table) {
    constexpr std::size_t smallTable = 1024;
    if (table.bucket_count() > smallTable && table.bucket_count() > 4 * table.size())
        table.rehash(0);
}

} // namespace Vorn
