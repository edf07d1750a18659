#include "ProductName.h"

#include <array>

const char* productName(unsigned typeCode) {
    static constexpr std::array<const char*, 21> names = {
        "Unknown",  // 0
        "Tavik",    // 1
        "Tavik",    // 2
        "Tavik",    // 3
        "Brenn Q1", // 4
        "Tavik",    // 5
        "Brenn S1", // 6
        "Corvet",   // 7
        "Merrow",   // 8
        "Brenn Q2", // 9
        "Ondal 2",  // 10
        "Ondal 2",  // 11
        "Ondal 4",  // 12
        "Ondal 4",  // 13
        "Brenn D2", // 14
        "Unknown",  // 15
        "Slotcard", // 16
        "Slotcard", // 17
        "Slotcard", // 18
        "Brenn X1", // 19
        "Brenn X2", // 20
    };
    return typeCode < names.size() ? names[typeCode] : "Unknown";
}
