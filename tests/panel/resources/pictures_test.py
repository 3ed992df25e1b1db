#!/usr/bin/env python3
"""Checks the panel's picture generator: every resource the panel's windows load exists at the
size their layout assumes, as an uncompressed 24-bit BMP, named in pictures.rc, and the drawing
gives the same bytes on every run."""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

SCRIPT = None  # set from the command line

# The resources the panel loads by name, with the sizes its windows place them at.
EXPECTED = {
    "BAK": (742, 263),
    "BAK_PAGE_CONTROL": (742, 263),
    "ABOUT_BACKGROUND": (285, 200),
    "FP_F_VIRTUAL": (310, 450),
    "FP_JAK_N": (10, 10),
    "FP_JAK_F": (10, 10),
    "FP_BTN_F": (25, 14),
    "FP_BTN_N": (25, 14),
    "OUTPUT_ROUTING_MAIN_ON": (135, 269),
    "OUTPUT_ROUTING_MAIN_OFF": (135, 269),
    "OUTPUT_ROUTING_UP": (23, 16),
    "OUTPUT_ROUTING_DOWN": (23, 16),
    "OUTPUT_ROUTING_LINK_ON": (67, 16),
    "OUTPUT_ROUTING_LINK_OFF": (67, 16),
    "BTN_MUTELEFT_OFF": (23, 16),
    "BTN_MUTELEFT_ON": (23, 16),
    "BTN_MUTERIGHT_OFF": (23, 16),
    "BTN_MUTERIGHT_ON": (23, 16),
    "BTN_LINK_OFF": (33, 16),
    "BTN_LINK_ON": (33, 16),
    "ANALOG_OFF": (32, 14),
    "ANALOG_ON": (32, 14),
    "DIGITAL_OFF": (32, 14),
    "DIGITAL_ON": (32, 14),
    "DIGITAL_DISABLED": (32, 14),
    "DIGITAL_INTERN_OFF": (44, 14),
    "DIGITAL_INTERN_ON": (44, 14),
    "DIGITAL_AUTO_OFF": (44, 14),
    "DIGITAL_AUTO_ON": (44, 14),
    "BTN_BAL_OFF": (26, 15),
    "BTN_BAL_ON": (26, 15),
    "BTN_UNBAL_OFF": (26, 15),
    "BTN_UNBAL_ON": (26, 15),
    "BTN_DIGI_FORMAT_PRO_OFF": (72, 14),
    "BTN_DIGI_FORMAT_PRO_ON": (72, 14),
    "BTN_DIGI_FORMAT_CON_OFF": (72, 14),
    "BTN_DIGI_FORMAT_CON_ON": (72, 14),
    "PEAK_BACK": (9, 145),
    "PEAK_FORE": (9, 145),
    "FADER_BACK": (11, 161),
    "FADER_KNOB_OFF": (11, 16),
    "FADER_KNOB_ON": (11, 16),
}

# Pictures that are shown in place of one another: each pair must look different.
STATE_PAIRS = [
    ("FP_JAK_N", "FP_JAK_F"), ("FP_BTN_F", "FP_BTN_N"),
    ("OUTPUT_ROUTING_MAIN_ON", "OUTPUT_ROUTING_MAIN_OFF"),
    ("OUTPUT_ROUTING_UP", "OUTPUT_ROUTING_DOWN"),
    ("OUTPUT_ROUTING_LINK_ON", "OUTPUT_ROUTING_LINK_OFF"),
    ("PEAK_BACK", "PEAK_FORE"), ("FADER_KNOB_OFF", "FADER_KNOB_ON"),
    ("DIGITAL_OFF", "DIGITAL_DISABLED"), ("DIGITAL_ON", "DIGITAL_DISABLED"),
    ("BAK", "BAK_PAGE_CONTROL"),
] + [(base + "_OFF", base + "_ON") for base in (
    "BTN_MUTELEFT", "BTN_MUTERIGHT", "BTN_LINK", "ANALOG", "DIGITAL", "DIGITAL_INTERN",
    "DIGITAL_AUTO", "BTN_BAL", "BTN_UNBAL", "BTN_DIGI_FORMAT_PRO", "BTN_DIGI_FORMAT_CON")]


def read_bmp(path):
    """Width, height and the rows (top first) of an uncompressed 24-bit BMP, read by hand."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError("%s: not a BMP" % path)
    file_size, pixel_offset = struct.unpack_from("<I4xI", data, 2)
    header_size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    if file_size != len(data):
        raise ValueError("%s: size field %d, file %d bytes" % (path, file_size, len(data)))
    if header_size < 40 or planes != 1 or bits != 24 or compression != 0:
        raise ValueError("%s: header %d, planes %d, %d bits, compression %d"
                         % (path, header_size, planes, bits, compression))
    stride = (width * 3 + 3) & ~3
    rows_bottom_up = height > 0
    height = abs(height)
    if pixel_offset + stride * height > len(data):
        raise ValueError("%s: pixel data cut short" % path)
    rows = []
    for r in range(height):
        start = pixel_offset + stride * r
        rows.append(data[start:start + width * 3])
    if rows_bottom_up:
        rows.reverse()
    return width, height, rows


def pixel(rows, x, y):
    b, g, r = rows[y][3 * x:3 * x + 3]
    return (r, g, b)


def run_script(*args):
    return subprocess.run([sys.executable, SCRIPT] + list(args), capture_output=True, text=True,
                          timeout=120)


class PicturesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.first = os.path.join(cls.temp.name, "first")
        cls.second = os.path.join(cls.temp.name, "second", "nested")
        cls.sheet = os.path.join(cls.temp.name, "sheet.png")
        for args in ((cls.first, "--sheet", cls.sheet), (cls.second,)):
            result = run_script(*args)
            if result.returncode != 0:
                raise AssertionError("draw_pictures.py failed: " + result.stderr)
        cls.pictures = {}
        for name in EXPECTED:
            path = os.path.join(cls.first, name + ".bmp")
            if os.path.exists(path):
                cls.pictures[name] = read_bmp(path)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_every_picture_is_a_24_bit_bmp_of_its_size(self):
        for name, size in EXPECTED.items():
            with self.subTest(name=name):
                self.assertIn(name, self.pictures, "missing " + name + ".bmp")
                width, height, _ = self.pictures[name]
                self.assertEqual((width, height), size)

    def test_resource_script_names_every_picture_once(self):
        with open(os.path.join(self.first, "pictures.rc")) as f:
            lines = [l.strip() for l in f if l.strip() and not l.startswith("//")]
        named = {}
        for line in lines:
            m = re.fullmatch(r'([A-Z0-9_]+) BITMAP "([A-Za-z0-9_]+\.bmp)"', line)
            self.assertIsNotNone(m, "malformed line: " + line)
            self.assertNotIn(m.group(1), named, "named twice: " + m.group(1))
            self.assertEqual(m.group(2), m.group(1) + ".bmp")
            named[m.group(1)] = m.group(2)
        self.assertEqual(set(named), set(EXPECTED))
        bmps = {f[:-4] for f in os.listdir(self.first) if f.endswith(".bmp")}
        self.assertEqual(bmps, set(named), "BMP files the script does not name, or the reverse")

    def test_two_runs_give_the_same_bytes(self):
        files = sorted(os.listdir(self.first))
        self.assertEqual(files, sorted(os.listdir(self.second)))
        for name in files:
            with open(os.path.join(self.first, name), "rb") as a, \
                    open(os.path.join(self.second, name), "rb") as b:
                self.assertTrue(a.read() == b.read(), name + " differs between runs")

    def test_pictures_are_drawn_and_states_differ(self):
        for name, (_, _, rows) in self.pictures.items():
            with self.subTest(name=name):
                self.assertGreater(len(set(rows)), 1, name + " is one flat colour")
        for a, b in STATE_PAIRS:
            with self.subTest(pair=(a, b)):
                self.assertNotEqual(self.pictures[a][2], self.pictures[b][2])

    def test_linked_routing_picture_dims_the_upper_rows_buttons_only(self):
        # Linked, outputs 2, 4, 6 and 8 are driven from the row above: their minus (x 48) and
        # plus (x 92) buttons are hidden, so the picture shows them dimmed there.
        on = self.pictures["OUTPUT_ROUTING_MAIN_ON"][2]
        off = self.pictures["OUTPUT_ROUTING_MAIN_OFF"][2]

        def area_differs(x0, y0, w, h):
            return any(pixel(on, x, y) != pixel(off, x, y)
                       for y in range(y0, y0 + h) for x in range(x0, x0 + w))

        for row in range(8):
            y = 34 + 23 * row
            for x in (48, 92):
                with self.subTest(row=row, x=x):
                    self.assertEqual(area_differs(x, y, 23, 16), row % 2 == 1)

    def test_jack_field_is_clear_where_jacks_are_drawn(self):
        # The view draws each jack picture at (jack left + 8, top + 4); the background there
        # must be the flat strip that the jack picture's corners are drawn on.
        background = self.pictures["FP_F_VIRTUAL"][2]
        corner = pixel(self.pictures["FP_JAK_F"][2], 0, 9)
        columns = [(41, 16), (89, 8), (128, 16), (176, 8), (224, 8), (263, 16)]
        for x, rows in columns:
            for k in range(rows):
                with self.subTest(x=x, k=k):
                    left, top = x + 8, 52 + 23 * k + 4
                    self.assertEqual(pixel(background, left, top + 9), corner)
                    self.assertEqual(pixel(background, left + 9, top), corner)

    def test_meter_lit_picture_is_brighter_than_unlit(self):
        def brightness(rows):
            return sum(sum(row) for row in rows)
        self.assertGreater(brightness(self.pictures["PEAK_FORE"][2]),
                           2 * brightness(self.pictures["PEAK_BACK"][2]))

    def test_command_line(self):
        listed = run_script("--list")
        self.assertEqual(listed.returncode, 0)
        self.assertEqual(set(listed.stdout.split()), set(EXPECTED))
        self.assertEqual(run_script("--help").returncode, 0)
        for bad in ([], ["--bogus"], [self.first, "--sheet", "sheet.jpg"],
                    [os.path.join(self.first, "BAK.bmp")]):
            with self.subTest(args=bad):
                result = run_script(*bad)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("draw_pictures.py", result.stderr)
        with open(self.sheet, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.stderr.write("usage: pictures_test.py DRAW_PICTURES_SCRIPT [unittest args]\n")
        sys.exit(2)
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
