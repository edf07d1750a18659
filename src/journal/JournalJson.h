#pragma once

#include "JournalRecord.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// The journal's records as JSON, for the programs that show them in JSON of
// their own: one list of an intent's fields, one way of writing them out.
namespace Journal {

// Keeps the fields in the order they are written.
using Json = nlohmann::ordered_json;

// The number, or null when there is none.
Json optionalNumber(const std::optional<std::uint32_t>& value);
// On one line; text that is not UTF-8 is written with replacement characters.
std::string dumpJson(const Json& value);
// Adds the intent's fields from "operator" to "new" in the journal line's
// order; "client" (where the intent has one) only `withClient`.
void addIntentFields(Json& object, const SerialIntent& intent, bool withClient);

} // namespace Journal
