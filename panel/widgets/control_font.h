// The one font of the panel's text controls (labels, text buttons): Arial, 14 logical units
// high, normal weight. Created at class registration, kept for the life of the process.
#pragma once

#include <windows.h>

// Creates the font on the first call (class registration makes that call).
HFONT GetControlFont();
