// The slider classes' mapping between a position and the pixels of the thumb's travel.
#pragma once

namespace q407::panel {

// The shared linear law: minimum + (maximum - minimum) x (p - low) / (high - low), in double
// precision, truncated toward zero and clamped to minimum..maximum; p is the pointer's distance
// from the travel's far end. An empty travel (high == low) gives the minimum.
int LinearSliderValue(double p, double low, double high, int minimum, int maximum);

// The travel of a vertical thumb between two pixel rows, with the maximum at the top.
struct VerticalTravel {
    int bottom;  // row of the thumb's centre at the minimum
    int top;     // row of the thumb's centre at the maximum
    int minimum;
    int maximum;

    // The position for a pointer at row y.
    int ValueAt(int y) const;
    // The thumb's centre row for a position, kept within top..bottom.
    int ThumbRow(int position) const;
    // A position kept within minimum..maximum.
    int Clamp(int position) const;
};

// The double slider's choice of what a press moves: 0 the left thumb (left of the first split),
// 1 both (up to the second split), 2 the right thumb.
int DoubleSliderPart(int x, int firstSplit, int secondSplit);

}  // namespace q407::panel
