#!/usr/bin/env python3
"""Draws the 24 x 24 palette pictures of the components as XPM files (run from this folder).

Each picture: a rounded tile in the family's colour (socket family blue, web family green, XML services
brown), a strip in the component's own accent colour, and a white card with two letters naming the
component. 16 colours at most, except the translator's, whose tile is shaded (more than 16 colours)."""

FONT = {  # 5 x 7 glyphs
    "D": ["1110.", "1..1.", "1...1", "1...1", "1...1", "1..1.", "1110."],
    "F": ["11111", "1....", "1....", "1111.", "1....", "1....", "1...."],
    "H": ["1...1", "1...1", "1...1", "11111", "1...1", "1...1", "1...1"],
    "I": [".111.", "..1..", "..1..", "..1..", "..1..", "..1..", ".111."],
    "M": ["1...1", "11.11", "1.1.1", "1.1.1", "1...1", "1...1", "1...1"],
    "N": ["1...1", "11..1", "1.1.1", "1..11", "1...1", "1...1", "1...1"],
    "P": ["1111.", "1...1", "1...1", "1111.", "1....", "1....", "1...."],
    "R": ["1111.", "1...1", "1...1", "1111.", "1.1..", "1..1.", "1...1"],
    "S": [".1111", "1....", "1....", ".111.", "....1", "....1", "1111."],
    "T": ["11111", "..1..", "..1..", "..1..", "..1..", "..1..", "..1.."],
    "U": ["1...1", "1...1", "1...1", "1...1", "1...1", "1...1", ".111."],
    "W": ["1...1", "1...1", "1...1", "1.1.1", "1.1.1", "11.11", "1...1"],
    "X": ["1...1", "1...1", ".1.1.", "..1..", ".1.1.", "1...1", "1...1"],
}

SOCKET, WEB, XML = "#1F4E9C", "#2E7D32", "#8D5524"

# class name, letters, family colour, accent colour
ICONS = [
    ("TKvWhoIs", "WI", SOCKET, "#F2C12E"),
    ("TKvInetDateTime", "DT", SOCKET, "#E8552D"),
    ("TKvUPSTracker", "UP", XML, "#F2C12E"),
    ("TKvFedExTracker", "FX", SOCKET, "#7B3FA0"),
    ("TKvIHTTPClient", "HT", SOCKET, "#2DB3E8"),
    ("TKvWebUpdater", "UD", WEB, "#F2C12E"),
    ("TKvWebDirect", "WD", WEB, "#2DB3E8"),
    ("TKvRemoteImage", "RI", WEB, "#E8552D"),
    ("TKvInfoExtractor", "IX", WEB, "#7B3FA0"),
    ("TKvWeatherInfo", "WT", SOCKET, "#2DB3E8"),
    ("TKvRemoteFiles", "RF", WEB, "#8BC34A"),
    ("TKvISMTP", "SM", SOCKET, "#8BC34A"),
    ("TKvMSTranslator", "TR", XML, "#2DB3E8"),
    ("TKvIDNSResolver", "DN", SOCKET, "#9E9E9E"),
]

SHADED = {"TKvMSTranslator"}


def rgb(h):
    return tuple(int(h[i:i + 2], 16) for i in (1, 3, 5))


def draw(letters, family, accent, shaded):
    px = [[None] * 24 for _ in range(24)]
    base = rgb(family)
    for y in range(24):
        for x in range(24):
            corner = (x in (0, 23) and y in (0, 1, 22, 23)) or (y in (0, 23) and x in (0, 1, 22, 23))
            if corner:
                continue
            if shaded:  # a diagonal shade: one colour per diagonal
                k = (x + y) / 46.0
                c = tuple(min(255, int(v * (0.65 + 0.7 * k))) for v in base)
            else:
                c = base
            px[y][x] = c
    for y in range(2, 5):
        for x in range(2, 22):
            px[y][x] = rgb(accent)
    for y in range(7, 21):
        for x in range(3, 21):
            px[y][x] = (255, 255, 255)
    for i, ch in enumerate(letters):
        ox = 5 + i * 8
        for gy, row in enumerate(FONT[ch]):
            for gx, bit in enumerate(row):
                if bit == "1":
                    px[10 + gy][ox + gx] = (0, 0, 0)
    return px


def xpm(name, px):
    colours = []
    for row in px:
        for c in row:
            if c is not None and c not in colours:
                colours.append(c)
    chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-*/=%@&"
    width = 1 if len(colours) <= len(chars) else 2
    codes = {}
    for i, c in enumerate(colours):
        codes[c] = chars[i] if width == 1 else chars[i // len(chars)] + chars[i % len(chars)]
    none = " " * width
    lines = ["/* XPM */", "static const char *%s[] = {" % name.lower(),
             '"24 24 %d %d",' % (len(colours) + 1, width), '"%s c None",' % none]
    for c in colours:
        lines.append('"%s c #%02X%02X%02X",' % (codes[c], *c))
    for y, row in enumerate(px):
        text = "".join(none if c is None else codes[c] for c in row)
        lines.append('"%s"%s' % (text, "," if y < 23 else ""))
    lines.append("};")
    return "\n".join(lines) + "\n", len(colours)


if __name__ == "__main__":
    for name, letters, family, accent in ICONS:
        text, count = xpm(name, draw(letters, family, accent, name in SHADED))
        assert (count > 16) == (name in SHADED), name
        with open(name + ".xpm", "w") as f:
            f.write(text)
