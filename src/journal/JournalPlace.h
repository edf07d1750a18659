#pragma once

#include <filesystem>
#include <string>

// Where the journal lives by default and who writes it, from the system.
namespace Journal {

// $XDG_STATE_HOME/vornctl/journal.jsonl (~/.local/state/vornctl/journal.jsonl
// when it is unset or not absolute) on Linux, %LOCALAPPDATA%\vornctl\journal.jsonl
// on Windows. Throws JournalError when the system names no such folder.
std::filesystem::path defaultJournalPath();

// The name the user logged in with; "unknown" when the system does not say.
std::string loginName();
// This computer's host name; "unknown" when the system does not say.
std::string hostName();

} // namespace Journal
