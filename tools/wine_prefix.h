// Wine prefixes for winelib programs: each run gets its own copy of a template prefix made once
// per build (wineboot takes about 20 s; a copy of hard links about 0.1 s).
#pragma once

#include <string>

namespace q407::tools {

// Copies templatePrefix to prefix (removed first) as hard links, with real copies of the
// registry files, which Wine rewrites in place. With virtualDesktop false the copy drops the
// template's virtual desktop, so that windows appear on the user's own desktop. False with
// *error set when it could not be made.
bool CopyWinePrefix(const std::string& templatePrefix, const std::string& prefix,
                    bool virtualDesktop, std::string* error);

}  // namespace q407::tools
