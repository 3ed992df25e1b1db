// The rotary control's law between its angle (radians; 0 points straight up, positive turns
// clockwise) and its position: position p of n steps sits at p / n x 4.6 - 2.3 rad, so the
// travel spans 4.6 rad centred on the top.
#pragma once

namespace q407::panel {

struct KnobLaw {
    static constexpr float kSpan = 4.6f;
    static constexpr float kStart = -2.3f;
    static constexpr float kRadiansPerPixel = 0.05f;  // dragging, per pixel of upward movement
    static constexpr float kRadiansPerStep = 0.8f;    // keys and the wheel

    float minimumAngle;
    float maximumAngle;
    int steps;

    // The angle of a position, kept within the angle limits.
    float AngleOf(int position) const;
    // The angle kept within the limits.
    float Clamp(float angle) const;
    // The position of an angle: (angle + 2.3) / 4.6 x steps, truncated.
    int PositionOf(float angle) const;
};

// Where the pointer picture's centre goes: on a circle of the radius around the centre.
struct KnobPoint {
    int x;
    int y;
};
KnobPoint KnobPointerCentre(int centreX, int centreY, int radius, float angle);

}  // namespace q407::panel
