// Registration of the panel's window classes: the small owner-drawn controls and the routing
// views, all with 4 extra window bytes and the window colour as background. The main dialog
// calls RegisterControlClasses once, with the module instance, before it creates any of them.
#pragma once

#include <windows.h>

// Registers the sixteen classes in their fixed order (failures are not checked: a class that is
// already registered stays as it is), then forgets every cached bitmap and creates the control
// font.
void RegisterControlClasses(HINSTANCE module);
