#!/usr/bin/env python3
"""Draws the control panel's program icon (q407pan.ico: 16, 32 and 48 pixels) into a folder.

Usage: draw_icon.py OUT_DIR
The drawing is plain geometry, so every run writes the same bytes.
"""
import os
import sys

from PIL import Image, ImageDraw


def draw(size):
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    s = size / 32.0
    # A dark rounded front panel with an orange level fader and three meter bars.
    d.rounded_rectangle([1 * s, 3 * s, 30 * s, 28 * s], radius=4 * s, fill=(28, 26, 24, 255),
                        outline=(150, 151, 152, 255))
    for i, height in enumerate((14, 19, 10)):
        x = (5 + 5 * i) * s
        d.rectangle([x, (24 - height) * s, x + 3 * s, 24 * s], fill=(80, 200, 90, 255))
    d.rectangle([22 * s, 7 * s, 23.5 * s, 24 * s], fill=(90, 90, 90, 255))
    d.rectangle([20 * s, 12 * s, 26 * s, 15 * s], fill=(240, 140, 30, 255))
    return img


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs(sys.argv[1], exist_ok=True)
    base = draw(48)
    base.save(os.path.join(sys.argv[1], "q407pan.ico"), format="ICO",
              sizes=[(16, 16), (32, 32), (48, 48)], bitmap_format="bmp")
    return 0


if __name__ == "__main__":
    sys.exit(main())
