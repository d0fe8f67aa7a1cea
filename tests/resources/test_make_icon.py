#!/usr/bin/env python3
"""Checks make_icon.py's reading of pixel maps and its DIB layout.

The layout rows guard against the mistakes a viewer would show as a flipped,
mirrored or opaque icon; the map rows against a map that is silently misread.
"""

import pathlib
import sys
import unittest

RESOURCES = pathlib.Path(__file__).resolve().parents[2] / "src" / "resources"
sys.dont_write_bytecode = True  # keep the source folder clean
sys.path.insert(0, str(RESOURCES))
import make_icon  # noqa: E402

LEGEND = "\n".join(line for line in (RESOURCES / "icon.txt").read_text(encoding="utf-8").splitlines()
                   if make_icon.LEGEND_LINE.match(line))
HEADER = 40 + 64          # BITMAPINFOHEADER and 16 RGBQUADs
ROW = 16                  # bytes per 4-bit row of 32 pixels
MASK = HEADER + 32 * ROW  # start of the AND mask, 4 bytes per row


def pixel_map(rows):
    return LEGEND + "\n" + "\n".join(rows) + "\n"


def blank():
    return ["." * 32 for _ in range(32)]


def with_pixel(rows, x, y, char):
    rows = list(rows)
    rows[y] = rows[y][:x] + char + rows[y][x + 1:]
    return rows


def image(rows):
    return make_icon.icon_image(make_icon.parse_map(pixel_map(rows)))


class Layout(unittest.TestCase):
    def test_pixels_land_where_windows_reads_them(self):
        # (x, y in the map, character, byte offset of the colour, expected byte, mask offset, mask byte)
        cases = [
            ("top-left is the last colour row, high nibble", 0, 0, "w",
             HEADER + 31 * ROW, 0xF0, MASK + 31 * 4, 0x7F),
            ("bottom-left is the first colour row", 0, 31, "r",
             HEADER, 0x90, MASK, 0x7F),
            ("odd column is the low nibble", 1, 31, "b",
             HEADER, 0x0C, MASK, 0xBF),
            ("top-right is the last byte of the last row", 31, 0, "y",
             HEADER + 32 * ROW - 1, 0x0B, MASK + 32 * 4 - 1, 0xFE),
        ]
        for name, x, y, char, colour_at, colour, mask_at, mask in cases:
            with self.subTest(name):
                data = image(with_pixel(blank(), x, y, char))
                self.assertEqual(data[colour_at], colour)
                self.assertEqual(data[mask_at], mask)

    def test_transparent_is_mask_set_over_black(self):
        data = image(blank())
        self.assertEqual(set(data[HEADER:MASK]), {0})
        self.assertEqual(set(data[MASK:]), {0xFF})

    def test_palette_is_the_standard_one_in_bgr_order(self):
        data = image(blank())
        for index, rgb in ((9, (0xFF, 0, 0)), (12, (0, 0, 0xFF)), (7, (0xC0, 0xC0, 0xC0))):
            with self.subTest(index=index):
                self.assertEqual(tuple(data[40 + 4 * index:43 + 4 * index]), rgb[::-1])


class MalformedMaps(unittest.TestCase):
    def test_rejected_with_a_reason(self):
        cases = [
            ("short row", pixel_map(blank()[:5] + ["." * 31] + blank()[6:]), "31 pixels"),
            ("missing row", pixel_map(blank()[:31]), "31 pixel rows"),
            ("character not in the legend", pixel_map(with_pixel(blank(), 3, 3, "Z")), "not in the legend"),
            ("legend lies about a colour", pixel_map(blank()).replace("w 15 FFFFFF", "w 15 FFFFFE"),
             "standard palette"),
            ("palette index missing", pixel_map(blank()).replace("f 13 FF00FF fuchsia\n", ""),
             "lacks palette indices [13]"),
            ("character defined twice", pixel_map(blank()).replace("f 13 FF00FF", "w 13 FF00FF"),
             "defined twice"),
        ]
        for name, text, reason in cases:
            with self.subTest(name):
                with self.assertRaises(make_icon.MapError) as caught:
                    make_icon.parse_map(text)
                self.assertIn(reason, str(caught.exception))


if __name__ == "__main__":
    unittest.main()
