#!/usr/bin/env python3
"""Draws the updater's artwork with the Python standard library only.

    python3 res/draw_artwork.py [output-directory]

writes bk.png (640 x 455, RGB, the window background) and logo.ico (16, 32,
48 and 256 pixels, 32-bit with alpha) into the output directory, which
defaults to the folder of this script. The output is deterministic, so
running the script again (with the same zlib) reproduces the committed
files byte for byte.

Shapes are described by signed distance functions and anti-aliased by
turning the distance to the edge (in pixels) into coverage.
"""

import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- helpers


def clamp(v, lo=0.0, hi=1.0):
    return lo if v < lo else hi if v > hi else v


def smoothstep(e0, e1, x):
    t = clamp((x - e0) / (e1 - e0))
    return t * t * (3.0 - 2.0 * t)


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def hex_rgb(text):
    text = text.lstrip('#')
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4))


def coverage(distance_px):
    """Fraction of a pixel covered by a shape whose edge is this far away."""
    return clamp(0.5 - distance_px)


def blend(dst, colour, alpha):
    return mix(dst, colour, clamp(alpha))


def sd_round_box(px, py, cx, cy, hw, hh, r):
    qx = abs(px - cx) - hw + r
    qy = abs(py - cy) - hh + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def sd_segment(px, py, ax, ay, bx, by):
    pax, pay = px - ax, py - ay
    bax, bay = bx - ax, by - ay
    h = clamp((pax * bax + pay * bay) / (bax * bax + bay * bay))
    return math.hypot(pax - bax * h, pay - bay * h)


def sd_triangle(px, py, a, b, c):
    """Signed distance to triangle abc (negative inside)."""
    pts = (a, b, c)
    d = float('inf')
    sign_votes = []
    for i in range(3):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % 3]
        d = min(d, sd_segment(px, py, ax, ay, bx, by))
        sign_votes.append((bx - ax) * (py - ay) - (by - ay) * (px - ax))
    inside = all(v >= 0 for v in sign_votes) or all(v <= 0 for v in sign_votes)
    return -d if inside else d


def sd_arc(px, py, cx, cy, radius, start, sweep):
    """Distance to a circular arc from angle start sweeping clockwise on
    screen (angles in radians, y pointing down)."""
    dx, dy = px - cx, py - cy
    angle = math.atan2(dy, dx)
    rel = (angle - start) % (2.0 * math.pi)
    if rel <= sweep:
        return abs(math.hypot(dx, dy) - radius)
    end = start + sweep
    d0 = math.hypot(px - (cx + radius * math.cos(start)), py - (cy + radius * math.sin(start)))
    d1 = math.hypot(px - (cx + radius * math.cos(end)), py - (cy + radius * math.sin(end)))
    return min(d0, d1)


# ------------------------------------------------------------- file output


def png_bytes(width, height, rows, alpha):
    """Encodes rows of (r, g, b[, a]) floats as an 8-bit PNG."""
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter type None
        for pixel in row:
            raw.extend(int(round(clamp(c) * 255)) for c in pixel[:4 if alpha else 3])

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)

    header = struct.pack('>IIBBBBB', width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header)
            + chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def dib_bytes(size, rows):
    """A 32-bit BGRA device-independent bitmap as stored inside .ico files:
    the height counts the colour rows and the AND mask together."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            pixels.extend(int(round(clamp(c) * 255)) for c in (b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # all zero: the alpha channel decides
    return header + bytes(pixels) + mask


def ico_bytes(images):
    """images: list of (size, encoded bytes)."""
    count = len(images)
    out = bytearray(struct.pack('<HHH', 0, 1, count))
    offset = 6 + 16 * count
    for size, data in images:
        dim = 0 if size >= 256 else size
        out.extend(struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset))
        offset += len(data)
    for _, data in images:
        out.extend(data)
    return bytes(out)


# ------------------------------------------------------------------- icon

ICON_TOP = hex_rgb('#4A9AF0')
ICON_BOTTOM = hex_rgb('#1B5DB8')
WHITE = (1.0, 1.0, 1.0)


def icon_pixel(x, y, size):
    """Colour (r, g, b, a) of pixel centre (x, y) of a size x size icon:
    a blue rounded square carrying a white circular arrow around a down
    arrow (the arrow is left out where it would only blur)."""
    s = float(size)
    u, v = (x + 0.5) / s, (y + 0.5) / s
    margin = 0.0 if size <= 16 else 0.03
    half = 0.5 - margin
    box = sd_round_box(u, v, 0.5, 0.5, half, half, 0.22 * half * 2) * s
    a = coverage(box)
    if a <= 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    colour = mix(ICON_TOP, ICON_BOTTOM, smoothstep(0.0, 1.0, v))
    # A faint sheen on the upper half gives the tile some depth.
    colour = blend(colour, WHITE, 0.10 * (1.0 - smoothstep(0.0, 0.55, v)))

    small = size <= 16
    radius = 0.27 if small else 0.28
    stroke = (0.075 if small else 0.052)
    start = math.radians(-40.0)      # gap at the upper right
    sweep = math.radians(285.0)
    ring = sd_arc(u, v, 0.5, 0.5, radius, start, sweep) - stroke
    # The head points along the clockwise direction at the end of the arc.
    end = start + sweep
    ex, ey = 0.5 + radius * math.cos(end), 0.5 + radius * math.sin(end)
    tx, ty = -math.sin(end), math.cos(end)          # clockwise tangent
    nx, ny = math.cos(end), math.sin(end)           # outward normal
    head_len = 0.22 if small else 0.15
    head_half = 0.19 if small else 0.125
    tip = (ex + tx * head_len, ey + ty * head_len)
    left = (ex + nx * head_half, ey + ny * head_half)
    right = (ex - nx * head_half, ey - ny * head_half)
    head = sd_triangle(u, v, tip, left, right)
    mark = min(ring, head)
    if not small:
        stem = sd_segment(u, v, 0.5, 0.36, 0.5, 0.54) - 0.042
        arrow = sd_triangle(u, v, (0.5, 0.66), (0.39, 0.52), (0.61, 0.52))
        mark = min(mark, stem, arrow)
    colour = blend(colour, WHITE, coverage(mark * s))
    return colour + (a,)


def icon_rows(size):
    return [[icon_pixel(x, y, size) for x in range(size)] for y in range(size)]


# ------------------------------------------------------------- background

BG_W, BG_H = 640, 455
BG_TOP = hex_rgb('#F7FAFD')
BG_BOTTOM = hex_rgb('#EAF0F7')
MOTIF = hex_rgb('#2F6FC0')
BAND_TOP = hex_rgb('#4F8FDB')
BAND_BOTTOM = hex_rgb('#1D58A8')


def band_edge(y, extra):
    """x of the accent band's left edge at row y: narrow at the top and
    widening toward the bottom, where progress percentages sit."""
    t = smoothstep(0.0, 1.0, y / BG_H)
    width = 30.0 + 74.0 * t + extra
    return BG_W - width


def background_pixel(x, y):
    px, py = x + 0.5, y + 0.5
    colour = mix(BG_TOP, BG_BOTTOM, py / BG_H)

    # Concentric hairlines radiating from beyond the upper left corner,
    # fading out well before the lower part where the texts sit.
    cx, cy = -70.0, -120.0
    dist = math.hypot(px - cx, py - cy)
    step = 22.0
    ring = abs(((dist + step / 2.0) % step) - step / 2.0) - 0.45
    fade = 1.0 - smoothstep(170.0, 420.0, dist)
    if fade > 0.0:
        colour = blend(colour, MOTIF, 0.085 * fade * coverage(ring))

    # A soft echo of the band, then the band itself.
    echo = band_edge(py, 16.0) - px
    colour = blend(colour, BAND_TOP, 0.16 * coverage(echo))
    edge = band_edge(py, 0.0) - px
    band_alpha = coverage(edge)
    if band_alpha > 0.0:
        band = mix(BAND_TOP, BAND_BOTTOM, smoothstep(0.0, 1.0, py / BG_H))
        # Fine diagonal hatching keeps the band from looking flat.
        hatch = abs(((px + py) % 9.0) - 4.5) - 0.5
        band = blend(band, WHITE, 0.05 * coverage(hatch))
        colour = blend(colour, band, band_alpha)
    return colour


def background_rows():
    return [[background_pixel(x, y) for x in range(BG_W)] for y in range(BG_H)]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(out_dir, 'bk.png'), 'wb') as f:
        f.write(png_bytes(BG_W, BG_H, background_rows(), alpha=False))
    images = []
    for size in (16, 32, 48):
        images.append((size, dib_bytes(size, icon_rows(size))))
    images.append((256, png_bytes(256, 256, icon_rows(256), alpha=True)))
    with open(os.path.join(out_dir, 'logo.ico'), 'wb') as f:
        f.write(ico_bytes(images))


if __name__ == '__main__':
    main()
