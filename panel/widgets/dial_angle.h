// The dial's law: the pointer's angle around the dial's centre, in degrees clockwise on the
// screen from the dial's start angle, normalised to 0 (inclusive) .. 360 (exclusive), and the
// position it stands for.
#pragma once

namespace q407::panel {

// Degrees in 0..360 of the pointer at (dx, dy) from the centre (screen axes: y grows down, 0 is
// to the right), measured from startDegrees. The centre itself gives 0.
double DialDegrees(int dx, int dy, double startDegrees);

// Any angle in degrees brought into 0..360.
double NormaliseDegrees(double degrees);

// The position for an angle: the full turn spread linearly over minimum..maximum.
int DialPosition(double degrees, int minimum, int maximum);

// Which of `frames` pictures shows a position (0 for the minimum, frames - 1 for the maximum).
int DialFrame(int position, int minimum, int maximum, int frames);

}  // namespace q407::panel
