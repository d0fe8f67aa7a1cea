#!/usr/bin/env python3
"""Builds the program icon's raw resources from the pixel map icon.txt.

windres numbers the images of an ICON statement itself, but the icon image has
to be resource 30001, so uninstall.rc embeds the icon group and the image as raw
resources of type 14 (RT_GROUP_ICON) and 3 (RT_ICON). This script writes them:

  icon_group.bin   GRPICONDIR with one entry that names image 30001
  icon_30001.bin   the image: BITMAPINFOHEADER, palette, colour bits, mask

Both files are checked in so that builds need no Python.

  make_icon.py                 rewrite the .bin files beside icon.txt
  make_icon.py --check         exit 1 if the checked-in files differ from the map
  make_icon.py --ico FILE.ico  also write an .ico file, for viewing the icon
"""

import argparse
import pathlib
import re
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
SIZE = 32
BITS = 4
ICON_ID = 30001

# The standard Windows 16-colour palette, in palette order. The legend in
# icon.txt has to repeat it: the map's characters are only readable if the
# legend tells the truth about the colours.
STANDARD_PALETTE = [
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
]

LEGEND_LINE = re.compile(r"^(\S) +(\d+|-) +([0-9A-Fa-f]{6}|-+) +\S.*$")


class MapError(Exception):
    pass


def parse_map(text):
    """Returns (rows of palette indices or None for transparent)."""
    colours = {}  # character -> palette index, None when transparent
    seen_index = {}
    rows = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        legend = LEGEND_LINE.match(line)
        if legend:
            if rows:
                raise MapError(f"line {number}: legend line among the pixel rows")
            char, index, rgb = legend.group(1), legend.group(2), legend.group(3)
            if char in colours:
                raise MapError(f"line {number}: character {char!r} defined twice")
            if index == "-":
                colours[char] = None
                continue
            index = int(index)
            if not 0 <= index < 16:
                raise MapError(f"line {number}: palette index {index} out of range")
            if index in seen_index:
                raise MapError(f"line {number}: index {index} already used by {seen_index[index]!r}")
            if int(rgb, 16) != STANDARD_PALETTE[index]:
                raise MapError(f"line {number}: index {index} is {STANDARD_PALETTE[index]:06X} "
                               f"in the standard palette, not {rgb}")
            seen_index[index] = char
            colours[char] = index
            continue
        if len(line) != SIZE:
            raise MapError(f"line {number}: {len(line)} pixels, want {SIZE}")
        row = []
        for column, char in enumerate(line):
            if char not in colours:
                raise MapError(f"line {number} column {column + 1}: {char!r} is not in the legend")
            row.append(colours[char])
        rows.append(row)
    if len(seen_index) != 16:
        missing = sorted(set(range(16)) - set(seen_index))
        raise MapError(f"legend lacks palette indices {missing}")
    if len(rows) != SIZE:
        raise MapError(f"{len(rows)} pixel rows, want {SIZE}")
    return rows


def icon_image(rows):
    """RT_ICON data: a DIB of double height (colour bits, then the AND mask)."""
    colour_row_bytes = SIZE * BITS // 8            # 16, already a multiple of 4
    mask_row_bytes = (SIZE + 31) // 32 * 4          # 4
    colour_size = colour_row_bytes * SIZE
    mask_size = mask_row_bytes * SIZE
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, BITS, 0,
                         colour_size + mask_size, 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", rgb & 0xFF, (rgb >> 8) & 0xFF, rgb >> 16, 0)
                       for rgb in STANDARD_PALETTE)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(rows):                      # DIBs store the bottom row first
        indices = [0 if p is None else p for p in row]
        colour += bytes((indices[x] << 4) | indices[x + 1] for x in range(0, SIZE, 2))
        bits = 0
        for p in row:
            bits = (bits << 1) | (p is None)
        mask += bits.to_bytes(SIZE // 8, "big").ljust(mask_row_bytes, b"\0")
    return header + palette + bytes(colour) + bytes(mask)


def group_entry_fields(image_size):
    # bWidth, bHeight, bColorCount, bReserved, wPlanes, wBitCount, dwBytesInRes
    return (SIZE % 256, SIZE % 256, 1 << BITS, 0, 1, BITS, image_size)


def icon_group(image_size):
    """RT_GROUP_ICON data: GRPICONDIR with one GRPICONDIRENTRY (nID, not an offset)."""
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHIH", *group_entry_fields(image_size), ICON_ID)


def ico_file(image):
    """A plain .ico holding the same image, for looking at it in a viewer."""
    return (struct.pack("<HHH", 0, 1, 1)
            + struct.pack("<BBBBHHII", *group_entry_fields(len(image)), 6 + 16) + image)


def build(map_path):
    rows = parse_map(map_path.read_text(encoding="utf-8"))
    image = icon_image(rows)
    return {"icon_group.bin": icon_group(len(image)), f"icon_{ICON_ID}.bin": image}, image


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--map", type=pathlib.Path, default=HERE / "icon.txt")
    parser.add_argument("--dir", type=pathlib.Path, default=HERE,
                        help="folder of the .bin files (default: beside this script)")
    parser.add_argument("--check", action="store_true",
                        help="compare instead of writing; exit 1 on a difference")
    parser.add_argument("--ico", type=pathlib.Path, help="also write this .ico file")
    args = parser.parse_args(argv)

    try:
        files, image = build(args.map)
    except MapError as error:
        print(f"{args.map}: {error}", file=sys.stderr)
        return 2

    if args.check:
        stale = []
        for name, data in files.items():
            path = args.dir / name
            if not path.is_file() or path.read_bytes() != data:
                stale.append(name)
        if stale:
            print(f"out of date with {args.map.name}: {', '.join(stale)}; "
                  f"run {pathlib.Path(__file__).name} and commit the result", file=sys.stderr)
            return 1
        print(f"{', '.join(files)} match {args.map.name}")
    else:
        for name, data in files.items():
            (args.dir / name).write_bytes(data)
    if args.ico:
        args.ico.write_bytes(ico_file(image))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
