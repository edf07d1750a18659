#pragma once

#include <windows.h>

#include <string>

// The few list-view operations the main window and the network dialog share,
// over the list view's own messages.
namespace ListView {

// Registers the list view, status bar and standard control classes (once per
// process is enough; repeating is harmless).
void initCommonControls();
// Full-row selection and double buffering.
void setExtendedStyle(HWND list);
// A left-aligned column whose header is string `headerId` of `instance`;
// false when the list refused it.
bool insertColumn(HWND list, HINSTANCE instance, int column, UINT headerId, int width);
// A row at `row` with `text` in column 0 (LPSTR_TEXTCALLBACKA: asked for on
// demand), state 0 and `data` as its item data; the row's index or -1.
int insertRow(HWND list, int row, const char* text, LPARAM data = 0);
void setCellText(HWND list, int row, int column, const char* text);
// The text a cell shows (a row's name asked for on demand included).
std::string cellText(HWND list, int row, int column);
// The first selected row after `after` (-1: from the start), or -1.
int nextSelected(HWND list, int after = -1);
int rowCount(HWND list);

} // namespace ListView
