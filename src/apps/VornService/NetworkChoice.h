#pragma once

#include "transport/Enumerator.h"

#include <optional>
#include <string>
#include <vector>

// One row of the network selection dialog: fixed-size, always terminated
// texts cut from one adapter address.
struct NetworkChoice {
    char description[260];
    char ipAddress[32];
    char macAddress[32];

    static NetworkChoice from(const Network::AdapterInfo& adapter);
};

// The adapters to offer, in the system's order, or why there are none.
struct NetworkChoices {
    std::vector<NetworkChoice> choices;
    std::optional<std::string> failure; // the enumeration's message
};
// Reads the adapter list through `query` (the system's by default). A failed
// enumeration gives no choices and its message, never an exception.
NetworkChoices
readNetworkChoices(Network::Enumerator::Query query = &Network::Enumerator::querySystem);

// The dialog's columns: Description and IP Address have fixed widths, MAC
// Address takes the rest of the list's client width.
inline constexpr int descriptionColumnWidth = 300;
inline constexpr int addressColumnWidth = 120;
inline int macColumnWidth(int clientWidth) {
    return clientWidth - descriptionColumnWidth - addressColumnWidth;
}

// The address the user chose: that of the choice at `selected`, or none when
// `selected` lies outside the list.
std::optional<std::string> chosenAddress(const std::vector<NetworkChoice>& choices, int selected);
