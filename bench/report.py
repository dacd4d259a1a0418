#!/usr/bin/env python3
"""Gathers the benchmarks' output into one table and the chart of tree-refresh cost.

usage: report.py OUTPUT_LOG CHART_PNG

Reads the lines the benchmarks agree on:
  RESULT|<measure>|<figure with unit>|<baseline with unit>|<ratio>|<goal>
  POINT|tree refresh|<services>|<refresh ms>|<one listing ms>
prints one table (a ratio above its goal is "over") and draws the POINT lines, refresh and
one listing against services, into CHART_PNG with ImageMagick. Exits non-zero on a malformed
line or when the chart cannot be written; a missed goal is only marked in the table."""
import math
import os
import subprocess
import sys
import tempfile

WIDTH, HEIGHT = 800, 500
LEFT, RIGHT, TOP, BOTTOM = 80, 30, 50, 60
FONT = "DejaVu-Sans"
SERIES = (("tree refresh", "#1f5fbf"), ("one listing of the services", "#d0601c"))


class Malformed(Exception):
    pass


def parse(lines):
    results, points = [], []
    for number, line in enumerate(lines, 1):
        line = line.strip()
        fields = line.split("|")
        try:
            if fields[0] == "RESULT":
                if len(fields) != 6:
                    raise ValueError("6 fields expected")
                float(fields[4]), float(fields[5])
                results.append(tuple(fields[1:]))
            elif fields[0] == "POINT":
                if len(fields) != 5 or fields[1] != "tree refresh":
                    raise ValueError("POINT|tree refresh|services|refresh ms|listing ms expected")
                points.append((int(fields[2]), float(fields[3]), float(fields[4])))
        except ValueError as error:
            raise Malformed(f"line {number}: {line!r}: {error}") from None
    return results, sorted(points)


def table(results):
    header = ("measure", "figure", "baseline", "ratio", "goal", "ok/over")
    rows = [(measure, figure, baseline, ratio, goal, "ok" if float(ratio) <= float(goal) else "over")
            for measure, figure, baseline, ratio, goal in results]
    widths = [max(len(row[column]) for row in [header] + rows) for column in range(len(header))]
    aligned = lambda row: "  ".join(cell.ljust(width) if column == 0 else cell.rjust(width)
                                    for column, (cell, width) in enumerate(zip(row, widths)))
    return [aligned(header), "  ".join("-" * width for width in widths)] + [aligned(row) for row in rows]


def nice_step(span, ticks):
    """A round tick spacing (1, 2, 2.5 or 5 times a power of ten) for about `ticks` ticks."""
    raw = span / ticks
    magnitude = 10 ** math.floor(math.log10(raw))
    return next(factor * magnitude for factor in (1, 2, 2.5, 5, 10) if raw <= factor * magnitude)


def chart(points):
    """The chart as ImageMagick vector graphics (MVG)."""
    max_x = max(services for services, _, _ in points)
    x_step = nice_step(max_x, 6)
    max_x = x_step * -(-max_x // x_step)
    max_y = max(max(refresh, queries) for _, refresh, queries in points)
    y_step = nice_step(max_y, 5)
    max_y = y_step * -(-max_y // y_step)
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM
    px = lambda x: LEFT + plot_w * x / max_x
    py = lambda y: TOP + plot_h * (1 - y / max_y)
    text = lambda x, y, words, size=13: f"fill black stroke none font-size {size} text {x:.0f},{y:.0f} '{words}'"
    out = [f"viewbox 0 0 {WIDTH} {HEIGHT}", f"font '{FONT}'", f"fill white rectangle 0,0 {WIDTH},{HEIGHT}",
           text(LEFT, 30, "Tree refresh of the control dialog against services (median ms)", 16)]
    for index in range(int(max_y / y_step) + 1):
        y = index * y_step
        out.append(f"stroke '#dddddd' stroke-width 1 line {LEFT},{py(y):.1f} {WIDTH - RIGHT},{py(y):.1f}")
        out.append(text(10, py(y) + 5, f"{y:g}"))
    for index in range(int(max_x / x_step) + 1):
        x = index * x_step
        out.append(text(px(x) - 10, HEIGHT - BOTTOM + 20, f"{x:g}"))
    out.append(f"fill none stroke black stroke-width 1 rectangle {LEFT},{TOP} {WIDTH - RIGHT},{HEIGHT - BOTTOM}")
    out.append(text(LEFT + plot_w / 2 - 30, HEIGHT - 15, "services"))
    for column, (name, colour) in enumerate(SERIES, 1):
        line = " ".join(f"{px(point[0]):.1f},{py(point[column]):.1f}" for point in points)
        out.append(f"fill none stroke '{colour}' stroke-width 2 polyline {line}")
        for point in points:
            out.append(f"fill '{colour}' stroke none circle {px(point[0]):.1f},{py(point[column]):.1f} "
                       f"{px(point[0]) + 3:.1f},{py(point[column]):.1f}")
        legend_y = TOP + 20 * column
        out.append(f"stroke '{colour}' stroke-width 2 line {LEFT + 15},{legend_y - 4} {LEFT + 45},{legend_y - 4}")
        out.append(text(LEFT + 52, legend_y, name))
    return "\n".join(out) + "\n"


def write_chart(points, path):
    with tempfile.NamedTemporaryFile("w", suffix=".mvg", delete=False) as mvg:
        mvg.write(chart(points))
    try:
        subprocess.run(["convert", f"mvg:{mvg.name}", path], check=True)
    finally:
        os.unlink(mvg.name)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    log, png = sys.argv[1:]
    try:
        with open(log, errors="replace") as output:
            results, points = parse(output)
    except Malformed as error:
        print(f"report: malformed benchmark output, {error}")
        return 1
    print("\n".join(table(results)) if results else "(no RESULT lines)")
    if not points:
        print("chart: no POINT lines, none drawn")
        return 0
    try:
        write_chart(points, png)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"chart: not written: {error}")
        return 1
    print(f"chart: {png} ({len(points)} points)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
