#include "panel/widgets/output_routing_view.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <string>

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/control_window.h"
#include "panel/widgets/output_routing_model.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/panel_message.h"
#include "panel/widgets/routing_view_procedures.h"
#include "panel/widgets/small_text_control.h"
#include "panel/widgets/toggle_control.h"

namespace q407::panel {

namespace {

constexpr int kMaxRows = kOutputChannelCount;
constexpr int kRowTop = 34;
constexpr int kRowPitch = 23;
constexpr int kMinusX = 48;
constexpr int kLabelX = 70;
constexpr int kPlusX = 92;
constexpr int kLabelWidth = 20;
constexpr int kLabelHeight = 23;
constexpr COLORREF kLabelText = RGB(150, 151, 152);
constexpr COLORREF kLabelFill = RGB(22, 24, 26);

// Kept in the window's user-data slot from WM_CREATE to WM_DESTROY.
struct OutputRoutingRecord {
    int notifyId = kOutputRoutingNotifyId;
    int rowCount = kMaxRows;
    HBITMAP jackLit = nullptr;  // kept for the creator, not drawn here
    HBITMAP jackNormal = nullptr;
    HBITMAP current = nullptr;  // the background shown
    HBITMAP other = nullptr;
    HBITMAP unlinked = nullptr;  // the picture Reset makes current again
    std::array<HWND, kMaxRows> minus{};
    std::array<HWND, kMaxRows> plus{};
    std::array<HWND, kMaxRows> labels{};
    HWND link = nullptr;
    OutputMap* map = nullptr;
    std::unique_ptr<OutputRoutingModel> model;  // holds the link flag
};

OutputRoutingRecord* RecordOf(HWND window) {
    return reinterpret_cast<OutputRoutingRecord*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void Notify(HWND window, const OutputRoutingRecord& record) {
    PostMessageW(GetWindow(window, GW_OWNER), WM_COMMAND, MAKEWPARAM(record.notifyId, 0),
                 static_cast<LPARAM>(LOWORD(reinterpret_cast<UINT_PTR>(window))));
}

void SetLabel(const OutputRoutingRecord& record, int row) {
    if (record.model == nullptr || record.labels[static_cast<size_t>(row)] == nullptr) {
        return;
    }
    // The text is digits only, so a byte-wise widening is exact.
    const std::string text = record.model->LabelText(row);
    wchar_t wide[16] = {};
    const size_t n = std::min(text.size(), std::size(wide) - 1);
    for (size_t i = 0; i < n; ++i) {
        wide[i] = static_cast<wchar_t>(text[i]);
    }
    SetWindowTextW(record.labels[static_cast<size_t>(row)], wide);
}

void RefreshLabels(const OutputRoutingRecord& record) {
    for (int row = 0; row < record.rowCount; ++row) {
        SetLabel(record, row);
    }
}

void ShowRowButtons(const OutputRoutingRecord& record) {
    for (int row = 0; row < record.rowCount; ++row) {
        const int show = record.model->RowButtonsVisible(row) ? SW_SHOW : SW_HIDE;
        ShowWindow(record.minus[static_cast<size_t>(row)], show);
        ShowWindow(record.plus[static_cast<size_t>(row)], show);
    }
}

void Step(HWND window, OutputRoutingRecord& record, int row, bool up) {
    const OutputRoutingChange change = up ? record.model->Plus(row) : record.model->Minus(row);
    if (change.changed) {
        SetLabel(record, change.rows.lower);
        SetLabel(record, change.rows.upper);
    }
    // Also when the value stayed at its end.
    Notify(window, record);
}

void ToggleLink(HWND window, OutputRoutingRecord& record) {
    const bool linked = record.model->ToggleLink();
    ShowRowButtons(record);
    std::swap(record.current, record.other);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    SendMessageW(record.link, BM_SETCHECK, linked ? 1 : 0, 0);
    Notify(window, record);
}

void Reset(HWND window, OutputRoutingRecord& record) {
    if (ShowPanelMessage(nullptr, L"Are you sure ?", L"Reset output channels", MB_OKCANCEL) !=
        IDOK) {
        return;
    }
    if (record.current != record.unlinked) {
        std::swap(record.current, record.other);
    }
    record.model->Reset();
    RefreshLabels(record);
    ShowRowButtons(record);
    SendMessageW(record.link, BM_SETCHECK, 0, 0);
    Notify(window, record);
    ShowWindow(window, SW_HIDE);
    ShowWindow(window, SW_SHOW);
}

void Paint(HWND window, const OutputRoutingRecord& record) {
    PaintBuffer buffer(window);
    const RECT client{0, 0, buffer.width(), buffer.height()};
    FillRect(buffer.dc(), &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const SIZE size = BitmapSize(record.current);
    DrawBitmap(buffer.dc(), record.current, 0, 0, size.cx, size.cy);
}

LRESULT HandleCommand(HWND window, OutputRoutingRecord& record, int id) {
    if (record.model == nullptr) {
        return 0;
    }
    if (id >= kOutputPlusFirst && id < kOutputPlusFirst + record.rowCount) {
        Step(window, record, id - kOutputPlusFirst, true);
    } else if (id >= kOutputMinusFirst && id < kOutputMinusFirst + record.rowCount) {
        Step(window, record, id - kOutputMinusFirst, false);
    } else if (id == kOutputLinkButton) {
        ToggleLink(window, record);
    } else if (id == kOutputResetCommand) {
        Reset(window, record);
    }
    return 0;
}

// The view's messages, through the frame the panel's control classes share (record on
// WM_CREATE, freed on WM_DESTROY, nothing unwinds through the system).
class OutputRoutingControl {
  public:
    using Record = OutputRoutingRecord;
    OutputRoutingControl(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_ERASEBKGND:
            case WM_LBUTTONDOWN:
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
            case WM_SHOWWINDOW:
                RefreshLabels(record_);
                return DefWindowProcW(window_, message, wParam, lParam);
            case WM_LBUTTONUP:
                Notify(window_, record_);
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

}  // namespace

HWND CreateOutputRoutingView(const OutputRoutingCreateParams& params) {
    if (params.map == nullptr) {
        return nullptr;
    }
    HBITMAP linked = GetCachedBitmap(params.module, params.linkedPicture);
    HBITMAP unlinked = GetCachedBitmap(params.module, params.unlinkedPicture);
    HBITMAP jackLit = GetCachedBitmap(params.module, params.jackLit);
    HBITMAP jackNormal = GetCachedBitmap(params.module, params.jackNormal);

    HMENU menu = CreateMenu();
    if (menu != nullptr) {
        AppendMenuW(menu, MF_STRING, kOutputResetCommand, L"Reset");
    }
    const SIZE picture = BitmapSize(linked);
    const int width =
        picture.cx + 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXFRAME) + 15;
    const int height = picture.cy + GetSystemMetrics(SM_CYMENU) +
                       2 * GetSystemMetrics(SM_CYBORDER) + GetSystemMetrics(SM_CYFRAME) +
                       GetSystemMetrics(SM_CYCAPTION) + 15;
    HWND window = CreateWindowExW(0, kOutputRoutingClassName, L"FlexPATH Routing",
                                  WS_POPUPWINDOW | WS_DLGFRAME, params.x, params.y, width, height,
                                  params.owner, menu, params.module, nullptr);
    if (window == nullptr) {
        if (menu != nullptr) {
            DestroyMenu(menu);
        }
        return nullptr;
    }
    OutputRoutingRecord* record = RecordOf(window);
    if (record == nullptr) {
        DestroyWindow(window);
        return nullptr;
    }
    record->notifyId = params.notifyId;
    record->rowCount = std::clamp(params.rowCount, 0, kMaxRows);
    record->jackLit = jackLit;
    record->jackNormal = jackNormal;
    record->current = unlinked;
    record->unlinked = unlinked;
    record->other = linked;
    record->map = params.map;
    try {
        // Entries not below the row count become their own row here.
        record->model = std::make_unique<OutputRoutingModel>(params.map, record->rowCount);
    } catch (...) {
        DestroyWindow(window);
        return nullptr;
    }
    record->link =
        CreateToggle(params.module, window, kOutputLinkButton, params.linkX, params.linkY,
                     L"OUTPUT_ROUTING_LINK_OFF", L"OUTPUT_ROUTING_LINK_ON");
    for (int row = 0; row < record->rowCount; ++row) {
        const size_t r = static_cast<size_t>(row);
        const int y = kRowTop + kRowPitch * row;
        record->plus[r] = CreateToggle(params.module, window, kOutputPlusFirst + row, kPlusX, y,
                                       L"OUTPUT_ROUTING_UP", L"OUTPUT_ROUTING_UP");
        record->labels[r] = CreateWindowExW(
            0, L"Oxa_SmallTextClass", L"", WS_CHILD, kLabelX, y, kLabelWidth, kLabelHeight, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(kOutputLabelFirst + row)), params.module,
            nullptr);
        if (SmallTextRecordOf(record->labels[r]) != nullptr) {
            SmallTextRecord* label = SmallTextRecordOf(record->labels[r]);
            label->textColour = kLabelText;
            label->fillColour = kLabelFill;
        }
        SetLabel(*record, row);
        ShowWindow(record->labels[r], SW_SHOW);
        record->minus[r] = CreateToggle(params.module, window, kOutputMinusFirst + row, kMinusX, y,
                                        L"OUTPUT_ROUTING_DOWN", L"OUTPUT_ROUTING_DOWN");
    }
    return window;
}

}  // namespace q407::panel

LRESULT CALLBACK OutputRoutingWindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) noexcept {
    return ControlWindowProc<q407::panel::OutputRoutingControl>(window, message, wParam, lParam);
}
