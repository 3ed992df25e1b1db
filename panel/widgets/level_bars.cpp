#include "panel/widgets/level_bars.h"

#include <algorithm>

namespace q407::panel {

int DarkRows(int litHeight, int levelPercent) {
    if (litHeight <= 0) {
        return 0;
    }
    int level = std::clamp(levelPercent, 0, 100);
    return static_cast<int>(static_cast<long long>(litHeight) * (100 - level) / 100);
}

int UnlitRows(int litHeight, int levelPixels) {
    if (litHeight <= 0) {
        return 0;
    }
    return litHeight - std::clamp(levelPixels, 0, litHeight);
}

}  // namespace q407::panel
