// Double-buffered painting: a control draws into a memory bitmap the size of its client area,
// which is copied to the window in one step when the buffer goes out of scope, so that a
// redraw never shows half a picture.
#pragma once

#include <windows.h>

class PaintBuffer {
  public:
    // Draws into the buffer from WM_PAINT (BeginPaint/EndPaint are done here).
    explicit PaintBuffer(HWND window);
    ~PaintBuffer();
    PaintBuffer(const PaintBuffer&) = delete;
    PaintBuffer& operator=(const PaintBuffer&) = delete;

    // The buffer's DC (the window's own when no buffer could be made).
    HDC dc() const { return memory_ != nullptr ? memory_ : target_; }
    int width() const { return width_; }
    int height() const { return height_; }

  private:
    void Open();

    HWND window_;
    PAINTSTRUCT paint_{};
    HDC target_ = nullptr;
    HDC memory_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// Copies a whole bitmap, or its part from (sx, sy), to (x, y) of a DC; a null bitmap draws nothing.
void DrawBitmap(HDC dc, HBITMAP bitmap, int x, int y, int width, int height, int sx = 0,
                int sy = 0);
// Loads the named bitmap resource, copies it whole to (0, 0) of a DC and frees it again; a
// missing resource draws nothing.
void DrawResourceBitmap(HDC dc, HINSTANCE instance, const wchar_t* name);
// The size of a bitmap ({0, 0} for none).
SIZE BitmapSize(HBITMAP bitmap);
// Copies a bitmap with the colour of its top-left pixel left transparent.
void DrawBitmapTransparent(HDC dc, HBITMAP bitmap, int x, int y);
// Repaints the window at once (the "redraw now" of level meters and set positions).
void RedrawNow(HWND window);
// The window handle as the low word that some notifications carry in lParam.
LPARAM HandleLowWord(HWND window);
// Fills a rectangle with a solid colour.
void FillColour(HDC dc, const RECT& rect, COLORREF colour);
