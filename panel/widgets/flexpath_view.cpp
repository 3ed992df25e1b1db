#include "panel/widgets/flexpath_view.h"

#include <windowsx.h>

#include <array>
#include <memory>
#include <new>

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/control_window.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/panel_message.h"
#include "panel/widgets/patch_model.h"
#include "panel/widgets/routing_view_procedures.h"
#include "panel/widgets/toggle_control.h"

namespace q407::panel {

namespace {

constexpr int kPenSets = 5;
constexpr int kPensPerSet = 4;
constexpr std::array<int, kPensPerSet> kPenWidths = {10, 7, 4, 1};
constexpr std::array<int, kPensPerSet> kPenComponents = {0, 80, 160, 240};
constexpr std::array<int, 3> kOutButtonX = {89, 176, 224};
constexpr int kOutButtonY = 37;

COLORREF PenColour(int set, int c) {
    const BYTE v = static_cast<BYTE>(c);
    switch (set) {
        case 0:
            return RGB(v, 0, 0);  // MME
        case 1:
            return RGB(0, v, 0);  // WDM
        case 2:
            return RGB(0, v, v);  // ASIO
        case 3:
            return RGB(v, 0, v);  // INPUT
        default:
            return RGB(v, v, 0);  // the cable in the hand
    }
}

// Kept in the window's user-data slot from WM_CREATE to WM_DESTROY.
struct FlexPathRecord {
    int notifyId = kFlexPathNotifyId;
    int playbackCount = 8;
    int inputCount = 16;
    HBITMAP jackLit = nullptr;
    HBITMAP jackNormal = nullptr;
    HBITMAP background = nullptr;
    std::unique_ptr<PatchModel> model;
    std::array<HWND, 3> outButtons{};
    // Pens stay with the window: the model knows nothing of drawing objects.
    std::array<std::array<HPEN, kPensPerSet>, kPenSets> pens{};
    bool compact = false;

    ~FlexPathRecord() {
        for (auto& set : pens) {
            for (HPEN pen : set) {
                if (pen != nullptr) {
                    DeleteObject(pen);
                }
            }
        }
    }
};

FlexPathRecord* RecordOf(HWND window) {
    return reinterpret_cast<FlexPathRecord*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Notify(HWND window, const FlexPathRecord& record) {
    PostMessageW(GetWindow(window, GW_OWNER), WM_COMMAND, MAKEWPARAM(record.notifyId, 0),
                 static_cast<LPARAM>(LOWORD(reinterpret_cast<UINT_PTR>(window))));
}

void Apply(HWND window, const PatchUpdate& update) {
    if (update.redraw == PatchUpdate::Redraw::Whole) {
        InvalidateRect(window, nullptr, FALSE);
    } else if (update.redraw == PatchUpdate::Redraw::Area) {
        const RECT area{update.area.left, update.area.top, update.area.right, update.area.bottom};
        InvalidateRect(window, &area, FALSE);
    }
}

void DrawCurve(HDC dc, const std::array<HPEN, kPensPerSet>& pens,
               const std::array<PatchPoint, 4>& points) {
    POINT p[4];
    for (size_t i = 0; i < 4; ++i) {
        p[i] = {points[i].x, points[i].y};
    }
    for (HPEN pen : pens) {
        HGDIOBJ old = SelectObject(dc, pen);
        PolyBezier(dc, p, 4);
        SelectObject(dc, old);
    }
}

void DrawPicture(HDC dc, HBITMAP bitmap, int x, int y) {
    const SIZE size = BitmapSize(bitmap);
    DrawBitmap(dc, bitmap, x, y, size.cx, size.cy);
}

void Paint(HWND window, FlexPathRecord& record) {
    {
        PaintBuffer buffer(window);
        HDC dc = buffer.dc();
        const RECT client{0, 0, buffer.width(), buffer.height()};
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        DrawPicture(dc, record.background, 0, 0);
        if (record.model != nullptr) {
            const PatchModel& model = *record.model;
            const int dx = record.compact ? 3 : 8;
            const int dy = record.compact ? 2 : 4;
            for (int side = kJackSideLeft; side <= kJackSideRight; ++side) {
                for (int g = 0; g < kPatchGroupCount; ++g) {
                    const JackGroup& group = model.Group(g);
                    for (int k = 0; k < group.JackCount(side); ++k) {
                        const PatchRect r = group.JackRect(side, k);
                        DrawPicture(dc,
                                    group.Highlighted(side, k) ? record.jackLit : record.jackNormal,
                                    r.left + dx, r.top + dy);
                    }
                }
            }
            for (const PatchCable& cable : model.Cables()) {
                DrawCurve(dc, record.pens[static_cast<size_t>(cable.penSet)], cable.points);
            }
            if (model.DragVisible()) {
                DrawCurve(dc, record.pens[kDragPenSet], model.DragCurve());
            }
        }
    }
    if (record.model != nullptr) {
        for (int g = 0; g < 3; ++g) {
            if (record.outButtons[static_cast<size_t>(g)] != nullptr) {
                SendMessageW(record.outButtons[static_cast<size_t>(g)], BM_SETCHECK,
                             record.model->OutputsOff(g) ? 1 : 0, 0);
            }
        }
    }
}

LRESULT HandleCommand(HWND window, FlexPathRecord& record, int id) {
    if (id >= kFlexPathOutButtonFirst && id < kFlexPathOutButtonFirst + 3) {
        if (record.model == nullptr) {
            return 0;
        }
        const int group = id - kFlexPathOutButtonFirst;
        const bool off = record.model->ToggleOutputsOff(group);
        SendMessageW(record.outButtons[static_cast<size_t>(group)], BM_SETCHECK, off ? 1 : 0, 0);
        Notify(window, record);
    } else if (id == kFlexPathResetCommand && !record.compact) {
        if (ShowPanelMessage(nullptr, L"Are you sure ?", L"Reset FlexPATH settings", MB_OKCANCEL) !=
                IDOK ||
            record.model == nullptr) {
            return 0;
        }
        record.model->Reset();
        Notify(window, record);
        ShowWindow(window, SW_HIDE);
        ShowWindow(window, SW_SHOW);
    }
    return 0;
}

// The view's messages, through the frame the panel's control classes share (record on
// WM_CREATE, freed on WM_DESTROY, nothing unwinds through the system). Both FlexPATH classes use
// it; the creator marks the compact twin in the record.
class FlexPathControl {
  public:
    using Record = FlexPathRecord;
    FlexPathControl(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        const PatchPoint point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        PatchModel* model = record_.model.get();
        switch (message) {
            case WM_ERASEBKGND:
                return 0;
            case WM_GETDLGCODE:
                return DLGC_WANTALLKEYS;
            case WM_SYSCOMMAND:
                if ((wParam & 0xFFF0) == SC_CLOSE) {
                    ShowWindow(window_, SW_HIDE);
                    return 0;
                }
                return DefWindowProcW(window_, message, wParam, lParam);
            case WM_PAINT:
                Paint(window_, record_);
                return 0;
            case WM_LBUTTONDOWN:
                if (model != nullptr) {
                    Apply(window_, model->Press(point));
                }
                return 0;
            case WM_MOUSEMOVE:
                if (model != nullptr) {
                    Apply(window_, model->Move(point, wParam != 0));
                }
                return 0;
            case WM_LBUTTONUP:
                if (model != nullptr) {
                    const PatchUpdate update = model->Release(point);
                    Apply(window_, update);
                    if (update.notify) {
                        Notify(window_, record_);
                    }
                }
                return 0;
            case WM_COMMAND:
                return HandleCommand(window_, record_, LOWORD(wParam));
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }
    // The record's own members release the model; the pictures belong to the cache.
    void Destroy() {}

  private:
    HWND window_;
    Record& record_;
};

HWND Create(const FlexPathCreateParams& params, bool compact) {
    if (params.table == nullptr) {
        return nullptr;
    }
    HBITMAP background = GetCachedBitmap(params.module, params.background);
    HBITMAP jackLit = GetCachedBitmap(params.module, params.jackLit);
    HBITMAP jackNormal = GetCachedBitmap(params.module, params.jackNormal);

    HMENU menu = nullptr;
    if (!compact) {
        menu = CreateMenu();
        if (menu != nullptr) {
            AppendMenuW(menu, MF_STRING, kFlexPathResetCommand, L"Reset");
        }
    }
    const SIZE size = BitmapSize(background);
    const int width =
        size.cx + 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXFRAME) + 15;
    const int height = size.cy + (menu != nullptr ? GetSystemMetrics(SM_CYMENU) : 0) +
                       2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYFRAME) +
                       GetSystemMetrics(SM_CYCAPTION) + 15;
    HWND window =
        CreateWindowExW(0, compact ? kFlexPathCompactClassName : kFlexPathAdvanceClassName,
                        L"FlexPATH", WS_POPUPWINDOW | WS_DLGFRAME, params.x, params.y, width,
                        height, params.owner, menu, params.module, nullptr);
    if (window == nullptr) {
        if (menu != nullptr) {
            DestroyMenu(menu);
        }
        return nullptr;
    }
    FlexPathRecord* record = RecordOf(window);
    if (record == nullptr) {
        DestroyWindow(window);
        return nullptr;
    }
    record->compact = compact;
    record->notifyId = params.notifyId;
    record->playbackCount = params.playbackCount;
    record->inputCount = params.inputCount;
    record->jackLit = jackLit;
    record->jackNormal = jackNormal;
    record->background = background;

    PatchLayout layout;
    layout.inputCount = params.inputCount;
    layout.playbackCount = params.playbackCount;
    if (compact) {
        layout.centreOffset = 0;
        layout.boundedMoves = false;
        layout.dragRedraw = {0, 66, 0x7FFF, 0x7FFF};
    }
    try {
        record->model = std::make_unique<PatchModel>(params.table, layout);
    } catch (...) {
        DestroyWindow(window);
        return nullptr;
    }
    for (int set = 0; set < kPenSets; ++set) {
        for (int i = 0; i < kPensPerSet; ++i) {
            LOGBRUSH brush{BS_SOLID, PenColour(set, kPenComponents[static_cast<size_t>(i)]), 0};
            record->pens[static_cast<size_t>(set)][static_cast<size_t>(i)] = ExtCreatePen(
                PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_BEVEL,
                static_cast<DWORD>(kPenWidths[static_cast<size_t>(i)]), &brush, 0, nullptr);
        }
    }
    for (size_t g = 0; g < kOutButtonX.size(); ++g) {
        record->outButtons[g] =
            CreateToggle(params.module, window, kFlexPathOutButtonFirst + static_cast<int>(g),
                         kOutButtonX[g], kOutButtonY, L"FP_BTN_F", L"FP_BTN_N");
    }
    return window;
}

}  // namespace

HWND CreateFlexPathView(const FlexPathCreateParams& params) {
    return Create(params, false);
}

HWND CreateFlexPathCompactView(const FlexPathCreateParams& params) {
    return Create(params, true);
}

}  // namespace q407::panel

LRESULT CALLBACK FlexPathWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
    return ControlWindowProc<q407::panel::FlexPathControl>(window, message, wParam, lParam);
}

LRESULT CALLBACK FpathCompactWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept {
    return ControlWindowProc<q407::panel::FlexPathControl>(window, message, wParam, lParam);
}
