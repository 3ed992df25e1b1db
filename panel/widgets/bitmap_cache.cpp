#include "panel/widgets/bitmap_cache.h"

#include "panel/widgets/bitmap_cache_table.h"
#include "panel/widgets/panel_message.h"

namespace {
using Table = q407::panel::BitmapCacheTable<wchar_t, HBITMAP>;
// Used on the user-interface thread only.
Table g_table;
}  // namespace

HBITMAP GetCachedBitmap(HINSTANCE module, const wchar_t* name) {
    if (name != nullptr && IS_INTRESOURCE(name)) {
        return nullptr;
    }
    Table::Result result = g_table.Lookup(name, [&] { return LoadBitmapW(module, name); });
    if (result.outcome == Table::Outcome::kLoadFailed) {
        ShowPanelMessage(nullptr, name, L"NotFound", MB_OK);
    }
    return result.handle;
}

void ClearBitmapCache() {
    g_table.Clear();
}
