#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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
// Puts the rows in the order of `dataInOrder` (each row's item data, every
// row's once); selection and focus stay with their rows.
void sortRows(HWND list, const std::vector<std::uintptr_t>& dataInOrder);
// The header's sort arrow on `column` (up when ascending), none on the other
// columns; column -1: no arrow.
void showSortArrow(HWND list, int column, bool ascending);
// Scrolls `row` into view.
void ensureVisible(HWND list, int row);
// The first selected row after `after` (-1: from the start), or -1.
int nextSelected(HWND list, int after = -1);
bool isSelected(HWND list, int row);
int rowCount(HWND list);

} // namespace ListView
