// The process-wide bitmap cache: each picture of the program's resources is loaded once, by
// name, and stays loaded for the life of the process. A name that is not in the resources is
// reported once in a "NotFound" box and then gives no bitmap.
#pragma once

#include <windows.h>

// The bitmap resource of that name from the module; nullptr when there is none. Names are
// compared case-sensitively; integer resource identifiers give nullptr.
HBITMAP GetCachedBitmap(HINSTANCE module, const wchar_t* name);

// Forgets every name (done at class registration); loaded bitmaps are not deleted.
void ClearBitmapCache();
