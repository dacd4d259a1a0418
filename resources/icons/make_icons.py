#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files into the given folder.

Every picture is a stack of shapes given by signed distance functions in unit
coordinates (0..1 across the image, y downwards). Each image size is rendered on its
own, so the anti-aliased edges stay about one pixel wide at every size. Images are
32-bit BGRA with alpha plus an AND mask for 16, 20, 24, 32 and 48 pixels.

    python3 make_icons.py <output folder>
"""
import math
import os
import struct
import sys

SIZES = (16, 20, 24, 32, 48)


# Shapes: distance to the edge, negative inside.

def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def round_rect(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2 - r, (y1 - y0) / 2 - r

    def sdf(x, y):
        dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
        return math.hypot(max(dx, 0), max(dy, 0)) + min(max(dx, dy), 0) - r
    return sdf


def convex_polygon(points):
    """Points in clockwise order on screen (y downwards)."""
    edges = []
    for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
        length = math.hypot(bx - ax, by - ay)
        edges.append((ax, ay, (by - ay) / length, -(bx - ax) / length))
    return lambda x, y: max((x - ax) * nx + (y - ay) * ny for ax, ay, nx, ny in edges)


def segment(ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def sdf(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - r
    return sdf


def rotated(shape, cx, cy, angle):
    c, s = math.cos(angle), math.sin(angle)
    return lambda x, y: shape(cx + (x - cx) * c + (y - cy) * s, cy - (x - cx) * s + (y - cy) * c)


def union(*shapes):
    return lambda x, y: min(shape(x, y) for shape in shapes)


def minus(shape, hole):
    return lambda x, y: max(shape(x, y), -hole(x, y))


def inset(shape, amount):
    return lambda x, y: shape(x, y) + amount


# Paints: colour at a point, (r, g, b, a) with components 0..1.

def rgb(text, alpha=1.0):
    return tuple(int(text[i:i + 2], 16) / 255 for i in (1, 3, 5)) + (alpha,)


def solid(colour):
    return lambda x, y: colour


def vertical(top, bottom, y0=0.0, y1=1.0):
    def paint(x, y):
        t = max(0.0, min(1.0, (y - y0) / (y1 - y0)))
        return tuple(a + (b - a) * t for a, b in zip(top, bottom))
    return paint


class Picture:
    """Layers drawn back to front; widths given in pixels stay pixel-sized at every size."""

    def __init__(self):
        self.layers = []

    def fill(self, shape, paint):
        self.layers.append(lambda px: (shape, paint))
        return self

    def outlined(self, shape, outline, paint, width=1.0):
        self.layers.append(lambda px: (shape, solid(outline)))
        self.layers.append(lambda px: (inset(shape, width * px), paint))
        return self

    def add(self, other):
        self.layers.extend(other.layers)
        return self

    def render(self, size):
        px = 1.0 / size
        layers = [layer(px) for layer in self.layers]
        pixels = []
        for row in range(size):
            y = (row + 0.5) * px
            for column in range(size):
                x = (column + 0.5) * px
                r = g = b = a = 0.0  # premultiplied
                for shape, paint in layers:
                    coverage = 0.5 - shape(x, y) / px
                    if coverage <= 0:
                        continue
                    cr, cg, cb, ca = paint(x, y)
                    ca *= min(coverage, 1.0)
                    r, g, b = cr * ca + r * (1 - ca), cg * ca + g * (1 - ca), cb * ca + b * (1 - ca)
                    a = ca + a * (1 - ca)
                pixels.append((r / a, g / a, b / a, a) if a > 0 else (0.0, 0.0, 0.0, 0.0))
        return pixels


def greyed(pixels):
    """The disabled look: no colour, lighter, partly transparent."""
    result = []
    for r, g, b, a in pixels:
        grey = 0.45 + 0.5 * (0.299 * r + 0.587 * g + 0.114 * b)
        result.append((grey, grey, grey, a * 0.8))
    return result


# The pictures.

def server(size):
    picture = Picture()
    picture.outlined(round_rect(0.2, 0.04, 0.8, 0.96, 0.08), rgb("#1b2f4a"),
                     vertical(rgb("#9cc6ee"), rgb("#3a6c9e"), 0.04, 0.96))
    small = size < 24
    for top in (0.14, 0.40, 0.66):
        bay = round_rect(0.3, top, 0.7, top + 0.2, 0.03)
        if small:
            # Outlines would fill a bay at this size; a flat dark slot reads better.
            picture.fill(bay, solid(rgb("#1f3a5a")))
        else:
            picture.outlined(bay, rgb("#16263b"), vertical(rgb("#3b5f86"), rgb("#23405f"), top, top + 0.2))
            picture.fill(segment(0.37, top + 0.1, 0.49, top + 0.1, 0.018), solid(rgb("#a9c4de")))
        picture.fill(circle(0.6, top + 0.1, 0.06 if small else 0.045), solid(rgb("#5dff5d")))
    return picture


def stop_badge(size):
    picture = Picture()
    picture.fill(circle(0.73, 0.73, 0.29), solid(rgb("#ffffff")))
    picture.outlined(circle(0.73, 0.73, 0.25), rgb("#7a0a06"),
                     vertical(rgb("#ff6a55"), rgb("#c8170c"), 0.48, 0.98))
    picture.fill(round_rect(0.645, 0.645, 0.815, 0.815, 0.015), solid(rgb("#ffffff")))
    return picture


def green_arrow(size):
    shape = union(round_rect(0.08, 0.34, 0.6, 0.66, 0.03),
                  convex_polygon([(0.48, 0.1), (0.94, 0.5), (0.48, 0.9)]))
    return Picture().outlined(shape, rgb("#1a5a1e"), vertical(rgb("#9be37f"), rgb("#2a962f"), 0.1, 0.9))


def envelope(size):
    picture = Picture()
    picture.outlined(round_rect(0.05, 0.2, 0.95, 0.8, 0.04), rgb("#6a5531"),
                     vertical(rgb("#fffbf0"), rgb("#ead9b0"), 0.2, 0.8))
    flap = rgb("#8a7143")
    picture.layers.append(lambda px: (segment(0.1, 0.25, 0.5, 0.56, 0.55 * px), solid(flap)))
    picture.layers.append(lambda px: (segment(0.9, 0.25, 0.5, 0.56, 0.55 * px), solid(flap)))
    return picture


def window_stack(size):
    picture = Picture()
    for left, top in ((0.04, 0.06), (0.2, 0.24), (0.36, 0.42)):
        right, bottom = left + 0.6, top + 0.52
        frame = round_rect(left, top, right, bottom, 0.035)
        picture.outlined(frame, rgb("#233f63"), vertical(rgb("#ffffff"), rgb("#dde6f0"), top, bottom))
        title = round_rect(left, top, right, top + 0.16, 0.035)
        picture.outlined(title, rgb("#233f63"), vertical(rgb("#6fa6e0"), rgb("#2f64a8"), top, top + 0.16))
    return picture


def gear(size):
    # Six broad teeth stay apart at the small sizes; eight look finer from 32 pixels up.
    count, half = (6, 0.1) if size < 32 else (8, 0.08)
    teeth = [rotated(round_rect(0.5 - half, 0.04, 0.5 + half, 0.3, 0.02), 0.5, 0.5, i * 2 * math.pi / count)
             for i in range(count)]
    shape = minus(union(circle(0.5, 0.5, 0.31), *teeth), circle(0.5, 0.5, 0.11))
    return Picture().outlined(shape, rgb("#1f2f3f"), vertical(rgb("#d2deea"), rgb("#5b7a99"), 0.05, 0.95))


ICONS = {
    "app.ico": (server, False),
    "tray_started.ico": (server, False),
    "tray_stopped.ico": (lambda size: server(size).add(stop_badge(size)), False),
    "tray_disabled.ico": (server, True),
    "group_runtime.ico": (green_arrow, False),
    "group_mail.ico": (envelope, False),
    "group_other.ico": (window_stack, False),
    "service_started.ico": (gear, False),
    "service_stopped.ico": (lambda size: gear(size).add(stop_badge(size)), False),
    "service_disabled.ico": (gear, True),
}


def image_data(size, pixels):
    """BITMAPINFOHEADER, bottom-up BGRA rows and the AND mask (set = transparent)."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(range(size)):
        bits = bytearray(mask_stride)
        for column in range(size):
            r, g, b, a = pixels[row * size + column]
            colour += bytes((round(b * 255), round(g * 255), round(r * 255), round(a * 255)))
            if a < 0.5:
                bits[column // 8] |= 0x80 >> (column % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return directory + body


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icons.py <output folder>")
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, (draw, grey) in ICONS.items():
        images = []
        for size in SIZES:
            pixels = draw(size).render(size)
            images.append((size, image_data(size, greyed(pixels) if grey else pixels)))
        data = ico(images)
        path = os.path.join(folder, name)
        # An unchanged icon keeps its time stamp, so nothing that embeds it is rebuilt.
        if os.path.exists(path):
            with open(path, "rb") as existing:
                if existing.read() == data:
                    continue
        with open(path + ".tmp", "wb") as out:
            out.write(data)
        os.replace(path + ".tmp", path)


if __name__ == "__main__":
    main()
