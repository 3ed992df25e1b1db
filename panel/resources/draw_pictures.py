#!/usr/bin/env python3
"""Draws the control panel's bitmap resources.

Every picture is drawn here from geometry, so the resources follow the control layout of the
panel's windows: where a control is placed over a background, the background carries its caption
at the same place. The output is a set of 24-bit BMP files plus `pictures.rc`, one
`NAME BITMAP "NAME.bmp"` line per picture, which a program's resource script includes.

The output is byte for byte the same on every run: the only randomness (the brushed-metal grain)
comes from a fixed seed, and BMP files carry no time stamp.
"""

import argparse
import math
import os
import random
import shutil
import subprocess
import sys

try:
    from PIL import Image, ImageChops, ImageDraw, ImageFont
except ImportError:
    sys.stderr.write("draw_pictures: the Python imaging library (Debian package python3-pil) "
                     "is not installed\n")
    sys.exit(2)

# ---------------------------------------------------------------------------------------------
# Style: dark anodised metal, light grey captions, one orange accent for lit states. The display
# colours match the panel's text controls (grey 150,151,152 on 22,24,26).

PANEL = (46, 48, 52)
PANEL_DARK = (33, 35, 38)
RECESS = (24, 26, 29)
DISPLAY = (22, 24, 26)
STRIP = (30, 31, 34)  # jack strips: flat, so that the jack pictures' corners blend in
LABEL = (150, 151, 152)
LABEL_DIM = (96, 98, 101)
HEAD = (206, 208, 212)
LINE = (74, 77, 82)
EDGE_LIGHT = (84, 87, 92)
EDGE_DARK = (12, 13, 15)
ACCENT = (246, 142, 42)
ACCENT_DARK = (206, 98, 20)

# Cable colours of the routing view's four jack groups (their brightest pen).
CABLE_MME = (240, 0, 0)
CABLE_WDM = (0, 240, 0)
CABLE_ASIO = (0, 240, 240)
CABLE_INPUT = (240, 0, 240)

FONT_FILES = {
    "sans": "DejaVuSans.ttf",
    "bold": "DejaVuSans-Bold.ttf",
    "cond": "DejaVuSansCondensed.ttf",
    "cond_bold": "DejaVuSansCondensed-Bold.ttf",
}
FONT_DIRS = [
    "/usr/share/fonts/truetype/dejavu",
    "/usr/share/fonts/dejavu",
    "/usr/share/fonts/TTF",
    "/usr/share/fonts/truetype",
    "/usr/local/share/fonts",
]


def find_font_dir():
    """The folder holding the DejaVu faces: $Q407_FONT_DIR, the usual places, then fontconfig."""
    candidates = []
    if os.environ.get("Q407_FONT_DIR"):
        candidates.append(os.environ["Q407_FONT_DIR"])
    candidates += FONT_DIRS
    for folder in candidates:
        if all(os.path.isfile(os.path.join(folder, f)) for f in FONT_FILES.values()):
            return folder
    if shutil.which("fc-match"):
        try:
            found = subprocess.run(["fc-match", "-f", "%{file}", "DejaVu Sans"],
                                   capture_output=True, text=True, timeout=20).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            found = ""
        folder = os.path.dirname(found)
        if folder and all(os.path.isfile(os.path.join(folder, f)) for f in FONT_FILES.values()):
            return folder
    return None


class Fonts:
    def __init__(self, folder):
        self.folder = folder
        self.cache = {}

    def get(self, face, size):
        key = (face, size)
        if key not in self.cache:
            self.cache[key] = ImageFont.truetype(os.path.join(self.folder, FONT_FILES[face]), size)
        return self.cache[key]


FONTS = None  # set in main()


def font(face, size):
    return FONTS.get(face, size)


# ---------------------------------------------------------------------------------------------
# Drawing helpers


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def brushed(w, h, base, seed, strength=7):
    """A brushed-metal surface: horizontal grain from stretched noise, fixed seed."""
    rng = random.Random(seed)
    cols = max(2, w // 24)
    grain = Image.new("L", (cols, h))
    grain.putdata([rng.randrange(256) for _ in range(cols * h)])
    grain = grain.resize((w, h), Image.BILINEAR)
    fine = Image.new("L", (w, h))
    fine.putdata([rng.randrange(256) for _ in range(w * h)])
    # Offset = grain in -strength..strength plus fine noise in -2..1, carried with a bias of 64.
    offset = ImageChops.add(grain.point(lambda v: ((v - 128) * strength) // 128 + 64),
                            fine.point(lambda v: ((v - 128) * 2) // 128 + 2))
    bias = 66
    channels = [offset.point(lambda v, c=c: max(0, min(255, c + v - bias))) for c in base]
    return Image.merge("RGB", channels)


def vgradient(draw, box, top, bottom):
    x0, y0, x1, y1 = box
    span = max(1, y1 - y0)
    for y in range(y0, y1 + 1):
        draw.line([(x0, y), (x1, y)], fill=mix(top, bottom, (y - y0) / span))


def recess(draw, box, fill=RECESS):
    """A panel area sunk into the surface: dark upper-left edge, light lower-right edge."""
    x0, y0, x1, y1 = box
    draw.rectangle(box, fill=fill)
    draw.line([(x0, y0), (x1, y0)], fill=EDGE_DARK)
    draw.line([(x0, y0), (x0, y1)], fill=EDGE_DARK)
    draw.line([(x0 + 1, y1), (x1, y1)], fill=EDGE_LIGHT)
    draw.line([(x1, y0 + 1), (x1, y1)], fill=EDGE_LIGHT)


def text(draw, xy, s, face, size, fill, anchor="mm"):
    draw.text(xy, s, font=font(face, size), fill=fill, anchor=anchor)


def text_width(s, face, size):
    box = font(face, size).getbbox(s)
    return box[2] - box[0]


def fitted_text(draw, xy, s, face, size, fill, max_width, anchor="mm"):
    """Text shrunk until it fits the width it is given."""
    while size > 6 and text_width(s, face, size) > max_width:
        size -= 1
    text(draw, xy, s, face, size, fill, anchor)


# ---------------------------------------------------------------------------------------------
# Buttons: one face for every push button and toggle, in the states off, on (lit) and disabled.


def button(w, h, label, state, face="cond_bold", size=9):
    img = Image.new("RGB", (w, h), EDGE_DARK)
    d = ImageDraw.Draw(img)
    if state == "on":
        top, bottom, ink, rim = (252, 178, 88), ACCENT_DARK, (40, 20, 4), (255, 214, 160)
    elif state == "disabled":
        top, bottom, ink, rim = (44, 45, 48), (36, 37, 40), (78, 80, 83), (52, 53, 56)
    else:
        top, bottom, ink, rim = (80, 83, 88), (46, 48, 52), LABEL, (108, 111, 116)
    vgradient(d, (1, 1, w - 2, h - 2), top, bottom)
    d.line([(1, 1), (w - 2, 1)], fill=rim)
    d.rectangle([0, 0, w - 1, h - 1], outline=EDGE_DARK)
    if label:
        fitted_text(d, (w / 2, h / 2 + 0.5), label, face, size, ink, w - 4)
    return img


def sign_button(w, h, sign, dimmed=False):
    """The plus/minus buttons of the output routing view."""
    img = button(w, h, "", "disabled" if dimmed else "off")
    d = ImageDraw.Draw(img)
    ink = (70, 72, 75) if dimmed else HEAD
    cx, cy = w // 2, h // 2
    d.rectangle([cx - 4, cy - 1, cx + 4, cy], fill=ink)
    if sign == "+":
        d.rectangle([cx - 1, cy - 4, cx, cy + 3], fill=ink)
    return img


def mute_button(w, h, state, facing):
    """A mute key: a loudspeaker with a cross where its sound would go, the speaker turned
    towards its channel's side of the pair."""
    img = button(w, h, "", state)
    d = ImageDraw.Draw(img)
    ink = (40, 20, 4) if state == "on" else HEAD
    cy = h // 2
    # Drawn facing left, mirrored for the right-hand channel.
    d.rectangle([16, cy - 2, 18, cy + 1], fill=ink)
    d.polygon([(16, cy - 2), (12, cy - 5), (12, cy + 4), (16, cy + 1)], fill=ink)
    d.line([(5, cy - 3), (9, cy + 1)], fill=ink)
    d.line([(5, cy + 1), (9, cy - 3)], fill=ink)
    if facing == "right":
        img = img.transpose(Image.FLIP_LEFT_RIGHT)
    return img


# ---------------------------------------------------------------------------------------------
# Jacks of the FlexPATH view (10 x 10): "F" normal, "N" highlighted (a valid drop target).


def jack(lit):
    """A socket whose hole is centred on pixel (4, 4): drawn at (jack left + 8, top + 4), that is
    (left + 12, top + 8), one pixel under the point where the view ends a cable."""
    img = Image.new("RGB", (10, 10), STRIP)
    d = ImageDraw.Draw(img)
    ring = (255, 190, 90) if lit else (150, 153, 158)
    rim = (214, 110, 24) if lit else (88, 90, 95)
    d.ellipse([1, 1, 9, 9], fill=EDGE_DARK)  # shadow to the lower right
    d.ellipse([0, 0, 8, 8], fill=rim)
    d.ellipse([0, 0, 7, 7], fill=ring)
    d.ellipse([1, 1, 7, 7], fill=mix(ring, rim, 0.5))
    d.ellipse([2, 2, 6, 6], fill=(60, 28, 4) if lit else (6, 6, 7))
    return img


# ---------------------------------------------------------------------------------------------
# FlexPATH background (310 x 450). Jack k of a column occupies x .. x + 23, y = 52 + 23 k ..
# + 12; the jack picture sits at (x + 8, y + 4), its hole at (x + 12, y + 8).

FP_ROW0 = 52
FP_PITCH = 23
FP_INPUT_X = 41
FP_MME_X = 41 + 48
FP_WDM_X = 41 + 135
FP_ASIO_X = 41 + 183
FP_RIGHT = 39  # right column offset within a group
FP_HOLE_X = 12  # the jack hole, from the jack rectangle's top-left corner
FP_HOLE_Y = 8


def fp_column(d, col_x, rows):
    """The strip a column of jacks is mounted on."""
    top = FP_ROW0 - 3
    bottom = FP_ROW0 + FP_PITCH * (rows - 1) + 18
    x0, x1 = col_x + FP_HOLE_X - 8, col_x + FP_HOLE_X + 8
    d.rectangle([x0, top, x1, bottom], fill=STRIP)
    d.line([(x0, top), (x1, top)], fill=EDGE_DARK)
    d.line([(x0, top), (x0, bottom)], fill=EDGE_DARK)
    d.line([(x0 + 1, bottom), (x1, bottom)], fill=EDGE_LIGHT)
    d.line([(x1, top + 1), (x1, bottom)], fill=EDGE_LIGHT)


def draw_fp_virtual():
    w, h = 310, 450
    img = brushed(w, h, PANEL, 11)
    d = ImageDraw.Draw(img)

    # Heading band and group plates.
    d.rectangle([0, 0, w - 1, 31], fill=PANEL_DARK)
    d.line([(0, 31), (w - 1, 31)], fill=EDGE_DARK)
    groups = [
        ("INPUT", FP_INPUT_X, None, 16, 0, CABLE_INPUT),
        ("MME", FP_MME_X, FP_MME_X + FP_RIGHT, 8, 16, CABLE_MME),
        ("WDM", FP_WDM_X, None, 8, 0, CABLE_WDM),
        ("ASIO", FP_ASIO_X, FP_ASIO_X + FP_RIGHT, 8, 16, CABLE_ASIO),
    ]

    # Row guide lines, under everything else: one faint line per row across the jack field.
    for k in range(16):
        y = FP_ROW0 + FP_PITCH * k + FP_HOLE_Y
        for x in range(30, w - 6, 3):
            d.point((x, y), fill=LINE)
        # Row numbers, right-aligned beside the INPUT column.
        text(d, (36, y), str(k + 1), "cond_bold", 10, LABEL, anchor="rm")

    for name, left_x, right_x, left_rows, right_rows, colour in groups:
        gx0 = left_x - 1
        gx1 = (right_x if right_x is not None else left_x) + 25
        cx = (gx0 + gx1) / 2
        text(d, (cx, 12), name, "bold", 11, HEAD)
        # A rule in the group's cable colour under its heading.
        d.line([(gx0 + 3, 23), (gx1 - 3, 23)], fill=mix(colour, PANEL_DARK, 0.35), width=2)
        fp_column(d, left_x, left_rows)
        if right_x is not None:
            fp_column(d, right_x, right_rows)
            # Guide from the group's OUT column to its IN column.
            yb = FP_ROW0 - 8
            d.line([(left_x + FP_HOLE_X, yb), (right_x + FP_HOLE_X, yb)], fill=LINE)
            text(d, (right_x + FP_HOLE_X, 43), "IN", "cond_bold", 9, LABEL)
        # The OUT buttons cover (x, 37) .. (x + 25, 51) of the playback columns; the well and
        # caption under them show while a button is missing.
        if name != "INPUT":
            recess(d, (left_x - 1, 36, left_x + 25, 51), fill=RECESS)
            text(d, (left_x + 12, 44), "OUT", "cond_bold", 9, LABEL)
            # The playback column ends after eight jacks; its role is repeated under it.
            text(d, (left_x + FP_HOLE_X, FP_ROW0 + FP_PITCH * 8 + 6), "OUT", "cond_bold", 9,
                 LABEL_DIM)

    # Column guide lines: a thin rule down each column between its jacks, and an end mark under
    # the eight-jack columns.
    for name, left_x, right_x, left_rows, right_rows, colour in groups:
        for col_x, rows in ((left_x, left_rows), (right_x, right_rows)):
            if col_x is None:
                continue
            cx = col_x + FP_HOLE_X
            for k in range(rows - 1):
                y0 = FP_ROW0 + FP_PITCH * k + FP_HOLE_Y + 6
                d.line([(cx, y0), (cx, y0 + FP_PITCH - 12)], fill=(52, 54, 58))
            if rows == 8:
                yb = FP_ROW0 + FP_PITCH * 7 + 22
                d.line([(cx - 7, yb), (cx + 7, yb)], fill=LINE)

    # Legend of cable colours and the view's name at the foot.
    d.rectangle([0, 418, w - 1, h - 1], fill=PANEL_DARK)
    d.line([(0, 418), (w - 1, 418)], fill=EDGE_DARK)
    x = 10
    for name, colour in (("INPUT", CABLE_INPUT), ("MME", CABLE_MME), ("WDM", CABLE_WDM),
                         ("ASIO", CABLE_ASIO)):
        d.ellipse([x, 429, x + 8, 437], fill=mix(colour, (0, 0, 0), 0.15), outline=EDGE_DARK)
        text(d, (x + 12, 433), name, "cond", 9, LABEL, anchor="lm")
        x += 14 + text_width(name, "cond", 9) + 10
    text(d, (w - 10, 433), "FlexPATH", "bold", 12, HEAD, anchor="rm")
    return img


# ---------------------------------------------------------------------------------------------
# Output routing background (135 x 269). Row i: minus at (48, 34 + 23 i) 23 x 16, number label
# at (70, same) 20 x 23, plus at (92, same) 23 x 16; the link button at (48, 217) 67 x 16.

OR_ROW0 = 34
OR_PITCH = 23


def draw_output_routing(linked):
    w, h = 135, 269
    img = brushed(w, h, PANEL, 23)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 0, w - 1, 17], fill=PANEL_DARK)
    d.line([(0, 17), (w - 1, 17)], fill=EDGE_DARK)
    text(d, (w / 2, 9), "OUTPUT CHANNELS", "bold", 9, HEAD)
    text(d, (22, 26), "OUT", "cond_bold", 8, LABEL_DIM)
    text(d, (81, 26), "PLAYBACK", "cond_bold", 8, LABEL_DIM)

    # The channel read-outs form one display column.
    recess(d, (69, OR_ROW0 - 1, 91, OR_ROW0 + OR_PITCH * 8), fill=DISPLAY)
    for i in range(8):
        y = OR_ROW0 + OR_PITCH * i
        cy = y + 8
        recess(d, (10, y, 36, y + 15), fill=RECESS)
        text(d, (23, cy), str(i + 1), "bold", 10, HEAD)
        d.line([(37, cy), (46, cy)], fill=LINE)
        if linked and i % 2 == 1:
            # The upper row of a linked pair follows its lower row: its buttons are hidden and
            # the picture shows them dimmed.
            img.paste(sign_button(23, 16, "-", dimmed=True), (48, y))
            img.paste(sign_button(23, 16, "+", dimmed=True), (92, y))
        else:
            img.paste(sign_button(23, 16, "-"), (48, y))
            img.paste(sign_button(23, 16, "+"), (92, y))
    if linked:
        # Pair brackets join outputs 1-2, 3-4, 5-6 and 7-8.
        for p in range(4):
            y0 = OR_ROW0 + OR_PITCH * 2 * p + 8
            y1 = y0 + OR_PITCH
            d.line([(5, y0), (5, y1)], fill=ACCENT, width=2)
            d.line([(5, y0), (9, y0)], fill=ACCENT, width=2)
            d.line([(5, y1), (9, y1)], fill=ACCENT, width=2)
            d.line([(119, y0), (119, y1)], fill=ACCENT, width=2)
            d.line([(115, y0), (119, y0)], fill=ACCENT, width=2)
            d.line([(115, y1), (119, y1)], fill=ACCENT, width=2)
    # Link button well, then the foot.
    recess(d, (47, 216, 115, 233), fill=RECESS)
    text(d, (81, 244), "STEREO PAIRS" if linked else "INDEPENDENT", "cond", 8, LABEL_DIM)
    d.line([(8, 254), (w - 9, 254)], fill=EDGE_DARK)
    text(d, (w - 8, 261), "FlexPATH", "bold", 9, LABEL, anchor="rm")
    return img


# ---------------------------------------------------------------------------------------------
# Meters and fader of the mixer page.

METER_H = 145
LEVEL_MAX = 127


def meter_zone(y):
    """Colour zone of a meter row, as the hold marker's colours: red above level 115, yellow from
    91, green below."""
    level = (METER_H - y) * LEVEL_MAX / METER_H
    if level > 115:
        return 2
    if level >= 91:
        return 1
    return 0


def peak(lit):
    w, h = 9, METER_H
    img = Image.new("RGB", (w, h), (6, 6, 7))
    d = ImageDraw.Draw(img)
    colours = [((60, 222, 72), (198, 236, 64), (252, 72, 60)),
               ((18, 44, 22), (44, 48, 16), (54, 18, 16))][0 if lit else 1]
    for y in range(h):
        if (h - 1 - y) % 3 == 2:
            continue  # gap between segments
        c = colours[meter_zone(y)]
        d.line([(1, y), (w - 2, y)], fill=c)
        if lit:
            d.point((w // 2, y), fill=mix(c, (255, 255, 255), 0.35))
    d.line([(0, 0), (0, h - 1)], fill=EDGE_DARK)
    d.line([(w - 1, 0), (w - 1, h - 1)], fill=(40, 42, 45))
    return img


FADER_H = 161
KNOB_H = 16


def fader_knob_centre(p):
    """Centre row of the knob picture at position p, within the track."""
    travel = FADER_H - KNOB_H
    return travel - travel * p // LEVEL_MAX + KNOB_H // 2


def fader_back():
    w, h = 11, FADER_H
    img = Image.new("RGB", (w, h), RECESS)
    d = ImageDraw.Draw(img)
    # Ticks every 6 dB (12 positions), longer every 12 dB.
    for step in range(0, 11):
        p = LEVEL_MAX - 12 * step
        y = fader_knob_centre(p)
        length = 3 if step % 2 == 0 else 2
        d.line([(0, y), (length - 1, y)], fill=LABEL_DIM)
        d.line([(w - length, y), (w - 1, y)], fill=LABEL_DIM)
    top, bottom = KNOB_H // 2 - 2, h - KNOB_H // 2 + 1
    d.rectangle([4, top, 6, bottom], fill=(4, 4, 5))
    d.line([(4, top), (4, bottom)], fill=EDGE_DARK)
    d.line([(7, top), (7, bottom)], fill=(60, 62, 66))
    return img


def fader_knob(focused):
    w, h = 11, KNOB_H
    img = Image.new("RGB", (w, h), EDGE_DARK)
    d = ImageDraw.Draw(img)
    vgradient(d, (1, 1, w - 2, 6), (200, 202, 206), (120, 122, 127))
    vgradient(d, (1, 9, w - 2, h - 2), (120, 122, 127), (70, 72, 76))
    d.line([(1, 7), (w - 2, 7)], fill=ACCENT if focused else (240, 240, 240))
    d.line([(1, 8), (w - 2, 8)], fill=ACCENT_DARK if focused else (40, 41, 44))
    d.rectangle([0, 0, w - 1, h - 1], outline=EDGE_DARK)
    return img


# ---------------------------------------------------------------------------------------------
# Main dialog (742 x 263). The mixer page covers x 0..656; the dialog's own controls (level and
# digital format buttons) sit in the right-hand column. Geometry below is the controls'.

MAIN_W, MAIN_H = 742, 263
PAGE_W = 657


def input_meter_x(i):
    return 17 * i + 18 + i // 2


def output_meter_x(k):
    return (333 if k % 2 == 0 else 375) + 81 * (k // 2)


def fader_x(k):
    return (345 if k % 2 == 0 else 363) + 81 * (k // 2)


def db_label_x(k):
    return (321 if k % 2 == 0 else 360) + 81 * (k // 2)


def meter_y_for_db(db):
    """Row of the meter picture lit down from by a level of db dBFS.

    A raw peak byte r shows level trunc(ln(r + 1) x 26.33745) of 127, i.e. the scale is linear in
    decibels: level = (db + 20 log10(128)) / (20 / ln 10 / 26.33745)."""
    per_level = 20.0 / math.log(10.0) / 26.33745
    level = (db + 20.0 * math.log10(128.0)) / per_level
    return 55 + METER_H - METER_H * level / LEVEL_MAX


def fader_y_for_db(db):
    p = LEVEL_MAX + 2 * db
    return 47 + fader_knob_centre(round(p))


def draw_main(page):
    img = brushed(MAIN_W, MAIN_H, PANEL, 5)
    d = ImageDraw.Draw(img)

    # Title band.
    d.rectangle([0, 0, MAIN_W - 1, 21], fill=PANEL_DARK)
    d.line([(0, 21), (MAIN_W - 1, 21)], fill=EDGE_DARK)
    d.line([(0, 22), (MAIN_W - 1, 22)], fill=(60, 62, 66))
    text(d, (10, 11), "ZEL", "bold", 13, ACCENT, anchor="lm")
    text(d, (44, 11), "Q407 LX", "bold", 12, HEAD, anchor="lm")
    text(d, (106, 11), "USB 2.0 AUDIO INTERFACE", "cond", 9, LABEL, anchor="lm")
    text(d, (480, 11), "MIXER", "bold", 10, HEAD)
    text(d, (699, 11), "SETUP", "bold", 10, HEAD)

    # Section plates: inputs, outputs, dialog column.
    recess(d, (2, 26, 301, 257), fill=PANEL_DARK)
    recess(d, (307, 26, 650, 257), fill=PANEL_DARK)
    recess(d, (652, 26, 739, 257), fill=PANEL_DARK)

    # --- inputs ---
    text(d, (153, 36), "INPUTS", "bold", 9, HEAD)
    for j in range(8):
        x0 = input_meter_x(2 * j)
        x1 = input_meter_x(2 * j + 1) + 9
        recess(d, (x0 - 2, 53, x1 + 1, 202), fill=RECESS)
        label = "%d/%d" % (2 * j + 1, 2 * j + 2)
        text(d, ((x0 + x1) / 2, 208), label, "cond_bold", 9, LABEL)
    # dB scale: ticks in the gaps between meters, numbers at the left edge.
    for db in (0, -6, -12, -18, -24, -30, -36, -42):
        # 0 dB lies a fraction above the top row (level 127.8 of 127).
        y = min(200, max(55, round(meter_y_for_db(db))))
        for j in range(8):
            x = input_meter_x(2 * j) + 9
            d.line([(x + 1, y), (x + 6, y)], fill=LABEL_DIM)
        text(d, (15, y), str(-db), "cond", 7, LABEL, anchor="rm")
    text(d, (15, 47), "dB", "cond", 7, LABEL_DIM, anchor="rm")

    # Clock source (internal 159..203, auto 204..248 at y 234..248) and source of inputs 15/16
    # (analog 260..292 at y 219..233, S/PDIF at 234..248) with the rate read-out at (76, 235).
    text(d, (203.5, 226), "CLOCK SOURCE", "cond_bold", 9, LABEL)
    recess(d, (158, 233, 249, 249), fill=RECESS)
    recess(d, (259, 218, 293, 249), fill=RECESS)
    text(d, (111, 226), "SAMPLE RATE", "cond_bold", 9, LABEL)
    recess(d, (75, 234, 146, 247), fill=DISPLAY)

    # --- outputs ---
    for q in range(4):
        base = 319 + 81 * q
        cx = base + 39.5
        text(d, (cx, 36), "OUT %d/%d" % (2 * q + 1, 2 * q + 2), "bold", 9, HEAD)
        for k in (2 * q, 2 * q + 1):
            mx = output_meter_x(k)
            recess(d, (mx - 1, 54, mx + 9, 200), fill=RECESS)
            recess(d, (fader_x(k) - 1, 46, fader_x(k) + 11, 208), fill=RECESS)
            recess(d, (db_label_x(k) - 1, 212, db_label_x(k) + 36, 225), fill=DISPLAY)
            text(d, (mx + 4.5, 48), str(k + 1), "cond_bold", 9, LABEL)
        # Fader scale between the two faders of the pair, every 6 dB.
        gap0, gap1 = fader_x(2 * q) + 12, fader_x(2 * q + 1) - 2
        for step in range(0, 11):
            y = fader_y_for_db(-6 * step)
            d.line([(gap0, y), (gap1, y)], fill=LABEL if step % 2 == 0 else LABEL_DIM)
        # Fader scale numbers, every 12 dB, beside each pair (and left of the first).
        for step in range(0, 6):
            y = fader_y_for_db(-12 * step)
            if q < 3:
                text(d, (base + 80, y), str(12 * step), "cond", 7, LABEL_DIM, anchor="lm")
            if q == 0:
                text(d, (330, y), str(12 * step), "cond", 7, LABEL_DIM, anchor="rm")
        if q == 0:
            text(d, (330, 47), "dB", "cond", 7, LABEL_DIM, anchor="rm")
        # Mute, link, mute in one strip at y 233..249.
        recess(d, (base - 1, 232, base + 79, 249), fill=RECESS)

    # --- dialog column (x 653..735): output level per pair and S/PDIF format ---
    text(d, (694, 36), "OUTPUT LEVEL", "bold", 8, HEAD)
    text(d, (686, 56), "BAL", "cond_bold", 8, LABEL)
    text(d, (686, 65), "+4dBu", "cond", 7, LABEL_DIM)
    text(d, (712, 56), "UNBAL", "cond_bold", 8, LABEL)
    text(d, (712, 65), "-10dBV", "cond", 7, LABEL_DIM)
    recess(d, (672, 71, 726, 132), fill=RECESS)
    for p in range(4):
        text(d, (670, 79.5 + 15 * p), "%d/%d" % (2 * p + 1, 2 * p + 2), "cond_bold", 8, LABEL,
             anchor="rm")
    text(d, (694, 150), "S/PDIF OUT", "bold", 8, HEAD)
    text(d, (694, 159), "FORMAT", "cond", 7, LABEL_DIM)
    recess(d, (652, 165, 726, 196), fill=RECESS)
    text(d, (694, 222), "ZEL", "bold", 18, ACCENT)
    text(d, (694, 241), "Q407 LX", "bold", 9, HEAD)

    if not page:
        # Without a device the mixer page is hidden: its area shows an idle face.
        recess(d, (2, 26, 650, 257), fill=PANEL_DARK)
        text(d, (328, 130), "Q407 LX", "bold", 28, (62, 64, 68))
        text(d, (328, 160), "NO DEVICE", "cond_bold", 11, (78, 80, 84))
        text(d, (111, 226), "SAMPLE RATE", "cond_bold", 9, LABEL)
        recess(d, (75, 234, 146, 247), fill=DISPLAY)
    return img


# ---------------------------------------------------------------------------------------------
# About box background (285 x 200 pixels). Driver version text at (209, 78), firmware at
# (209, 91); the support link answers clicks at x 74..203, y 163..171; the close button at
# x 117..162, y 184..195.


def draw_about():
    w, h = 285, 200
    img = brushed(w, h, PANEL, 31)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 0, w - 1, 52], fill=PANEL_DARK)
    d.line([(0, 52), (w - 1, 52)], fill=EDGE_DARK)
    text(d, (20, 27), "ZEL", "bold", 26, ACCENT, anchor="lm")
    text(d, (90, 20), "Q407 LX", "bold", 16, HEAD, anchor="lm")
    text(d, (90, 38), "Control Panel", "sans", 10, LABEL, anchor="lm")
    text(d, (205, 84), "Driver version", "cond", 9, LABEL, anchor="rm")
    text(d, (205, 97), "Firmware version", "cond", 9, LABEL, anchor="rm")
    recess(d, (208, 77, 278, 90), fill=DISPLAY)
    recess(d, (208, 90, 278, 103), fill=DISPLAY)
    text(d, (w / 2, 125), "USB 2.0 audio interface, 16 in / 8 out", "cond", 9, LABEL_DIM)
    text(d, (w / 2, 140), "Copyright (c) ZEL. All rights reserved.", "cond", 8, LABEL_DIM)
    # Support link: one line, underlined, inside x 74..203, y 163..171.
    text(d, (138.5, 167), "Online support", "cond_bold", 9, ACCENT)
    tw = text_width("Online support", "cond_bold", 9)
    d.line([(138.5 - tw / 2, 172), (138.5 + tw / 2, 172)], fill=ACCENT_DARK)
    img.paste(button(46, 12, "OK", "off"), (117, 184))
    return img


# ---------------------------------------------------------------------------------------------
# The catalogue: every picture with its name.


def catalogue():
    """(name, drawing routine) of every picture, in resource order."""
    pics = []

    def add(name, draw, *args, **kwargs):
        pics.append((name, lambda: draw(*args, **kwargs)))

    add("BAK", draw_main, page=False)
    add("BAK_PAGE_CONTROL", draw_main, page=True)
    add("ABOUT_BACKGROUND", draw_about)

    add("FP_F_VIRTUAL", draw_fp_virtual)
    add("FP_JAK_N", jack, lit=True)
    add("FP_JAK_F", jack, lit=False)
    add("FP_BTN_F", button, 25, 14, "OFF", "on", size=8)
    add("FP_BTN_N", button, 25, 14, "OUT", "off", size=8)

    add("OUTPUT_ROUTING_MAIN_OFF", draw_output_routing, linked=False)
    add("OUTPUT_ROUTING_MAIN_ON", draw_output_routing, linked=True)
    add("OUTPUT_ROUTING_UP", sign_button, 23, 16, "+")
    add("OUTPUT_ROUTING_DOWN", sign_button, 23, 16, "-")
    # The link toggle shows LINK_OFF while linked (checked) and LINK_ON while not.
    add("OUTPUT_ROUTING_LINK_ON", button, 67, 16, "STEREO LINK", "off", size=9)
    add("OUTPUT_ROUTING_LINK_OFF", button, 67, 16, "STEREO LINK", "on", size=9)

    for state in ("OFF", "ON"):
        s = state.lower()
        add("BTN_MUTELEFT_" + state, mute_button, 23, 16, s, "left")
        add("BTN_MUTERIGHT_" + state, mute_button, 23, 16, s, "right")
        add("BTN_LINK_" + state, button, 33, 16, "LINK", s, size=9)
        add("ANALOG_" + state, button, 32, 14, "ANALOG", s, face="cond", size=7)
        add("DIGITAL_" + state, button, 32, 14, "S/PDIF", s, face="cond", size=7)
        add("DIGITAL_INTERN_" + state, button, 44, 14, "INTERNAL", s, size=7)
        add("DIGITAL_AUTO_" + state, button, 44, 14, "AUTO", s, size=7)
        add("BTN_BAL_" + state, button, 26, 15, "+4", s, size=9)
        add("BTN_UNBAL_" + state, button, 26, 15, "-10", s, size=9)
        add("BTN_DIGI_FORMAT_PRO_" + state, button, 72, 14, "PROFESSIONAL", s, size=8)
        add("BTN_DIGI_FORMAT_CON_" + state, button, 72, 14, "CONSUMER", s, size=8)
    add("DIGITAL_DISABLED", button, 32, 14, "S/PDIF", "disabled", face="cond", size=7)

    add("PEAK_BACK", peak, lit=False)
    add("PEAK_FORE", peak, lit=True)
    add("FADER_BACK", fader_back)
    add("FADER_KNOB_OFF", fader_knob, focused=False)
    add("FADER_KNOB_ON", fader_knob, focused=True)
    return pics




def contact_sheet(pics, path):
    """All pictures on one sheet with their names; small ones enlarged so they can be judged."""
    margin, gap, sheet_w = 12, 14, 1560
    label_font = font("bold", 12)
    placed = []
    x, y, row_h = margin, margin, 0
    for name, image in pics:
        scale = 1 if max(image.size) >= 100 else (4 if max(image.size) <= 40 else 2)
        w, h = image.size[0] * scale, image.size[1] * scale
        tw = text_width(name, "bold", 12) + 4
        cell_w = max(w, tw)
        if x + cell_w > sheet_w - margin:
            x, y, row_h = margin, y + row_h + gap, 0
        placed.append((name, image, scale, x, y))
        x += cell_w + gap
        row_h = max(row_h, h + 36)
    sheet = Image.new("RGB", (sheet_w, y + row_h + margin), (120, 122, 126))
    d = ImageDraw.Draw(sheet)
    for name, image, scale, x, y in placed:
        w, h = image.size[0] * scale, image.size[1] * scale
        d.text((x, y), name, font=label_font, fill=(0, 0, 0))
        d.text((x, y + 14), "%d x %d%s" % (image.size[0], image.size[1],
                                             "" if scale == 1 else "  (x%d)" % scale),
               font=font("sans", 10), fill=(30, 30, 30))
        sheet.paste(image.resize((w, h), Image.NEAREST), (x, y + 30))
    sheet.save(path, "PNG")


def write_all(out_dir, pics):
    os.makedirs(out_dir, exist_ok=True)
    lines = []
    for name, image in pics:
        image.convert("RGB").save(os.path.join(out_dir, name + ".bmp"), "BMP")
        lines.append('%s BITMAP "%s.bmp"\n' % (name, name))
    rc_path = os.path.join(out_dir, "pictures.rc")
    with open(rc_path + ".tmp", "w", newline="\n") as f:
        f.write("// Generated by draw_pictures.py: the panel's bitmap resources.\n")
        f.writelines(lines)
    os.replace(rc_path + ".tmp", rc_path)


def main(argv):
    parser = argparse.ArgumentParser(
        prog="draw_pictures.py",
        description="Draw the control panel's bitmap resources as 24-bit BMP files and write "
                    "pictures.rc (NAME BITMAP \"NAME.bmp\") into OUTPUT_DIR.")
    parser.add_argument("output_dir", nargs="?", metavar="OUTPUT_DIR",
                        help="folder for the BMP files and pictures.rc (created if missing)")
    parser.add_argument("--sheet", metavar="FILE.png",
                        help="also write a contact sheet of every picture with its name")
    parser.add_argument("--list", action="store_true",
                        help="print the picture names, one a line, and draw nothing")
    args = parser.parse_args(argv)

    if args.list:
        if args.output_dir or args.sheet:
            parser.error("--list takes no other argument")
    elif not args.output_dir and not args.sheet:
        parser.error("give OUTPUT_DIR, --sheet FILE.png, or both")
    if args.sheet is not None and not args.sheet.lower().endswith(".png"):
        parser.error("the contact sheet must be a .png file: %r" % args.sheet)
    if args.output_dir is not None and os.path.exists(args.output_dir) and \
            not os.path.isdir(args.output_dir):
        parser.error("OUTPUT_DIR exists and is not a folder: %r" % args.output_dir)

    if args.list:
        for name, _ in catalogue():
            print(name)
        return 0

    global FONTS
    folder = find_font_dir()
    if folder is None:
        sys.stderr.write("draw_pictures: the DejaVu fonts (Debian package fonts-dejavu-core) "
                         "were not found; set Q407_FONT_DIR to their folder\n")
        return 2
    FONTS = Fonts(folder)

    pics = [(name, draw()) for name, draw in catalogue()]
    try:
        if args.output_dir:
            write_all(args.output_dir, pics)
        if args.sheet:
            contact_sheet(pics, args.sheet)
    except OSError as e:
        sys.stderr.write("draw_pictures: %s\n" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
