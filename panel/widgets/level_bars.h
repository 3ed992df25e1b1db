// The level meters' bar heights. Levels arrive in message parameters: out-of-range values are
// kept within the bar, never drawn beyond it.
#pragma once

namespace q407::panel {

// Stereo bar: the rows from the top left dark for a level in percent (the upper 100 - level
// percent of the lit picture's height).
int DarkRows(int litHeight, int levelPercent);

// Mono bar: the rows from the top drawn from the unlit picture for a level in pixels.
int UnlitRows(int litHeight, int levelPixels);

}  // namespace q407::panel
