#include "panel/widgets/paint_buffer.h"

PaintBuffer::PaintBuffer(HWND window) : window_(window) {
    target_ = BeginPaint(window_, &paint_);
    Open();
}

void PaintBuffer::Open() {
    RECT client{};
    GetClientRect(window_, &client);
    width_ = client.right - client.left;
    height_ = client.bottom - client.top;
    if (target_ == nullptr || width_ <= 0 || height_ <= 0) {
        return;
    }
    memory_ = CreateCompatibleDC(target_);
    bitmap_ = memory_ != nullptr ? CreateCompatibleBitmap(target_, width_, height_) : nullptr;
    if (bitmap_ == nullptr) {
        // Out of GDI memory: draw straight onto the window rather than not at all.
        if (memory_ != nullptr) {
            DeleteDC(memory_);
            memory_ = nullptr;
        }
        return;
    }
    previous_ = SelectObject(memory_, bitmap_);
}

PaintBuffer::~PaintBuffer() {
    if (memory_ != nullptr) {
        BitBlt(target_, 0, 0, width_, height_, memory_, 0, 0, SRCCOPY);
        SelectObject(memory_, previous_);
        DeleteObject(bitmap_);
        DeleteDC(memory_);
    }
    EndPaint(window_, &paint_);
}

void RedrawNow(HWND window) {
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}

LPARAM HandleLowWord(HWND window) {
    return static_cast<LPARAM>(reinterpret_cast<UINT_PTR>(window) & 0xFFFFu);
}

SIZE BitmapSize(HBITMAP bitmap) {
    BITMAP info{};
    if (bitmap == nullptr || GetObjectW(bitmap, sizeof info, &info) == 0) {
        return SIZE{0, 0};
    }
    return SIZE{info.bmWidth, info.bmHeight};
}

void DrawBitmap(HDC dc, HBITMAP bitmap, int x, int y, int width, int height, int sx, int sy) {
    if (bitmap == nullptr || width <= 0 || height <= 0) {
        return;
    }
    HDC source = CreateCompatibleDC(dc);
    if (source == nullptr) {
        return;
    }
    HGDIOBJ previous = SelectObject(source, bitmap);
    BitBlt(dc, x, y, width, height, source, sx, sy, SRCCOPY);
    SelectObject(source, previous);
    DeleteDC(source);
}

void DrawResourceBitmap(HDC dc, HINSTANCE instance, const wchar_t* name) {
    auto* picture = static_cast<HBITMAP>(LoadImageW(instance, name, IMAGE_BITMAP, 0, 0, 0));
    if (picture == nullptr) return;
    const SIZE size = BitmapSize(picture);
    DrawBitmap(dc, picture, 0, 0, size.cx, size.cy);
    DeleteObject(picture);
}

void DrawBitmapTransparent(HDC dc, HBITMAP bitmap, int x, int y) {
    SIZE size = BitmapSize(bitmap);
    if (size.cx <= 0 || size.cy <= 0) {
        return;
    }
    HDC source = CreateCompatibleDC(dc);
    if (source == nullptr) {
        return;
    }
    HGDIOBJ previous = SelectObject(source, bitmap);
    COLORREF key = GetPixel(source, 0, 0);
    TransparentBlt(dc, x, y, size.cx, size.cy, source, 0, 0, size.cx, size.cy, key);
    SelectObject(source, previous);
    DeleteDC(source);
}

void FillColour(HDC dc, const RECT& rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    if (brush == nullptr) {
        return;
    }
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}
