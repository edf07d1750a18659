#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

// Move-only owners of the window system's handles. Each deletes its handle
// once, when it goes or is reset.
namespace WindowHandles {

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
// A font or bitmap the window created and must delete.
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiObjectDeleter>;
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiObjectDeleter>;

struct MenuDeleter {
    void operator()(HMENU menu) const { DestroyMenu(menu); }
};
// A menu not (yet) attached to a window; a window destroys its own menu.
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

// A device context of one window, with a font selected into it for as long as
// the object lives; the previous font is put back before it is released.
class WindowDC {
public:
    WindowDC(HWND window, HFONT font) : window_(window), dc_(GetDC(window)) {
        if (dc_ && font)
            previous_ = SelectObject(dc_, font);
    }
    ~WindowDC() {
        if (!dc_)
            return;
        if (previous_)
            SelectObject(dc_, previous_);
        ReleaseDC(window_, dc_);
    }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;

    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
    HGDIOBJ previous_ = nullptr;
};

} // namespace WindowHandles
