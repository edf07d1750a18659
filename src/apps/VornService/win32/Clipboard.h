#pragma once

#include <windows.h>

#include <string>

// The system clipboard, for the text the window copies.
namespace Clipboard {

// Replaces the clipboard's contents with `text` (CF_TEXT), on behalf of
// `owner`. Waits up to half a second for a clipboard another program holds
// open. False when the clipboard could not be opened or the memory not had.
bool setText(HWND owner, const std::string& text);

} // namespace Clipboard
