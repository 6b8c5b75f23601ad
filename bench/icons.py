"""Icons and user-interface pictures with soft alpha, kxquant against pngquant;
see bench/icons."""

import argparse
import glob
import hashlib
import os
import shutil
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

import benchkit as bk

# ---- The tools: change these lines when kxquant gains options -------------------------
# Each row: (label, function (colours, input names) -> argument list, function
# (input name) -> the name of its output). Every tool reduces all the pictures
# of a set in one process, in the folder that holds them.
TOOLS = [
    ("kxquant", lambda n, files: [bk.KXQUANT, "-f", "-q", "-n", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-kx.png"),
    ("pngquant", lambda n, files: ["pngquant", "--force", "--ext", "-pq.png", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-pq.png"),
    ("pngquant --nofs",
     lambda n, files: ["pngquant", "--nofs", "--force", "--ext", "-pqn.png", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-pqn.png"),
]
COLOURS = [256, 64]
ICON_THEME = "oxygen-icon-theme"
ICON_DIR = "/usr/share/icons/oxygen/base/256x256"
MATERIAL = "material-v2"  # change when the generated pictures change
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


# ---- Material ---------------------------------------------------------------------------


def pick_icons(count):
    """`count` different 256 x 256 RGBA icons of the theme with soft alpha (at least
    128 alpha levels and at least 3% of the pixels partly transparent), spread over
    its folders (apps, devices, places, ...): every folder's qualifying icons in
    name order, thinned to about ten evenly spaced ones, then taken in turn."""
    folders, seen = {}, set()
    for path in sorted(glob.glob(os.path.join(ICON_DIR, "*", "*.png"))):
        im = Image.open(path)
        if im.size != (256, 256) or im.mode != "RGBA":
            continue
        pixels = np.asarray(im)
        key = hashlib.sha256(pixels.tobytes()).digest()
        if key in seen:  # the theme names some pictures twice (folder-new, knetattach)
            continue
        seen.add(key)
        a = pixels[..., 3]
        if np.unique(a).size >= 128 and np.mean((a > 0) & (a < 255)) >= 0.03:
            folders.setdefault(os.path.basename(os.path.dirname(path)), []).append(path)
    lanes = [lst[::max(1, len(lst) // 10)] for _, lst in sorted(folders.items())]
    picked = []
    for i in range(max(len(lane) for lane in lanes)):
        picked += [lane[i] for lane in lanes if i < len(lane)]
    if len(picked) < count:
        sys.exit(f"only {len(picked)} icons with soft alpha in {ICON_DIR}")
    return picked[:count]


def font(size, bold=False):
    try:
        return ImageFont.truetype(FONT_BOLD if bold else FONT, size)
    except OSError:
        return ImageFont.load_default()


def shadow(size, box, radius, blur, opacity, offset=(0, 6)):
    """A soft drop shadow of a rounded box: black, blurred, `opacity` at its core."""
    layer = Image.new("RGBA", size, (0, 0, 0, 0))
    x0, y0, x1, y1 = box
    ImageDraw.Draw(layer).rounded_rectangle(
        (x0 + offset[0], y0 + offset[1], x1 + offset[0], y1 + offset[1]), radius,
        fill=(0, 0, 0, opacity))
    return layer.filter(ImageFilter.GaussianBlur(blur))


def glow(size, centre, radius, colour, blur):
    layer = Image.new("RGBA", size, (0, 0, 0, 0))
    cx, cy = centre
    ImageDraw.Draw(layer).ellipse((cx - radius, cy - radius, cx + radius, cy + radius),
                                  fill=colour)
    return layer.filter(ImageFilter.GaussianBlur(blur))


def vertical_gradient(size, top, bottom):
    h = size[1]
    t = np.linspace(0.0, 1.0, h)[:, None, None]
    rows = (np.array(top, float) * (1 - t) + np.array(bottom, float) * t)
    return Image.fromarray(np.repeat(np.rint(rows), size[0], axis=1).astype(np.uint8), "RGBA")


def ui_notification():
    """A notification card: translucent dark rounded panel, soft shadow, an
    avatar with a glow, text, and a translucent button."""
    size = (480, 300)
    im = Image.new("RGBA", size, (0, 0, 0, 0))
    box = (40, 40, 440, 250)
    im.alpha_composite(shadow(size, box, 22, 14, 150, (0, 10)))
    panel = Image.new("RGBA", size, (0, 0, 0, 0))
    ImageDraw.Draw(panel).rounded_rectangle(box, 22, fill=(30, 34, 44, 200),
                                            outline=(255, 255, 255, 60), width=2)
    im.alpha_composite(panel)
    im.alpha_composite(glow(size, (100, 105), 34, (80, 170, 255, 200), 10))
    d = ImageDraw.Draw(im)
    d.ellipse((72, 77, 128, 133), fill=(70, 140, 230, 255))
    d.text((88, 86), "K", font=font(34, True), fill=(255, 255, 255, 255))
    d.text((150, 78), "Build finished", font=font(24, True), fill=(255, 255, 255, 240))
    d.text((150, 112), "40 icons written to build/icons", font=font(17), fill=(220, 225, 235, 200))
    d.text((150, 136), "two minutes ago", font=font(14), fill=(200, 205, 215, 140))
    button = Image.new("RGBA", size, (0, 0, 0, 0))
    ImageDraw.Draw(button).rounded_rectangle((280, 185, 420, 225), 12,
                                             fill=(255, 255, 255, 70))
    im.alpha_composite(button)
    d.text((316, 193), "Open", font=font(18, True), fill=(255, 255, 255, 230))
    return im


def ui_player():
    """A media player widget: a disc with a translucent hub over a frosted panel,
    a progress bar and soft shadows."""
    size = (400, 400)
    im = Image.new("RGBA", size, (0, 0, 0, 0))
    box = (30, 220, 370, 370)
    im.alpha_composite(shadow(size, box, 26, 16, 140, (0, 12)))
    panel = vertical_gradient((340, 150), (255, 255, 255, 190), (225, 230, 240, 150))
    mask = Image.new("L", (340, 150), 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, 339, 149), 26, fill=255)
    frosted = Image.new("RGBA", (340, 150), (0, 0, 0, 0))
    frosted.paste(panel, (0, 0), mask)
    im.alpha_composite(frosted, (30, 220))
    # The disc: its shadow, a radial rainbow sheen, a translucent hub and a hole.
    im.alpha_composite(glow(size, (200, 136), 112, (0, 0, 0, 120), 12))
    yy, xx = np.mgrid[0:size[1], 0:size[0]].astype(np.float64)
    dx, dy = xx - 200, yy - 128
    r = np.hypot(dx, dy)
    angle = np.arctan2(dy, dx)
    disc = np.zeros(size[::-1] + (4,))
    disc[..., 0] = 190 + 50 * np.sin(3 * angle)
    disc[..., 1] = 195 + 45 * np.sin(3 * angle + 2.1)
    disc[..., 2] = 205 + 40 * np.sin(3 * angle + 4.2)
    edge = np.clip(110 - r, 0, 1)  # antialiased outer edge
    hub = (r < 40) * 0.55 + (r >= 40) * 1.0  # the translucent hub
    hole = np.clip(r - 12, 0, 1)
    disc[..., 3] = 255 * edge * hub * hole
    im.alpha_composite(Image.fromarray(np.rint(disc).astype(np.uint8), "RGBA"))
    ring = Image.new("RGBA", size, (0, 0, 0, 0))
    ImageDraw.Draw(ring).ellipse((160, 88, 240, 168), outline=(255, 255, 255, 110), width=3)
    im.alpha_composite(ring.filter(ImageFilter.GaussianBlur(1)))
    d = ImageDraw.Draw(im)
    d.text((56, 240), "Aurora — Slow Light", font=font(20, True), fill=(30, 30, 40, 255))
    d.text((56, 270), "2:41 / 4:05", font=font(15), fill=(60, 60, 70, 200))
    d.rounded_rectangle((56, 310, 344, 318), 4, fill=(0, 0, 0, 50))
    d.rounded_rectangle((56, 310, 232, 318), 4, fill=(60, 120, 230, 230))
    im.alpha_composite(glow(size, (232, 314), 10, (60, 120, 230, 160), 4))
    d.ellipse((224, 306, 240, 322), fill=(255, 255, 255, 255))
    return im


def ui_dock():
    """A dock: a translucent bar with a soft shadow, rounded app tiles with glows,
    their fading reflections and labels."""
    size = (640, 240)
    im = Image.new("RGBA", size, (0, 0, 0, 0))
    box = (30, 120, 610, 200)
    im.alpha_composite(shadow(size, box, 20, 12, 130, (0, 8)))
    bar = Image.new("RGBA", size, (0, 0, 0, 0))
    ImageDraw.Draw(bar).rounded_rectangle(box, 20, fill=(235, 238, 245, 120),
                                          outline=(255, 255, 255, 150), width=1)
    im.alpha_composite(bar)
    colours = [(230, 80, 70), (250, 170, 40), (70, 180, 90), (60, 140, 230), (150, 90, 210),
               (40, 190, 200), (220, 80, 160)]
    for i, (r, g, b) in enumerate(colours):
        x = 60 + i * 76
        tile = vertical_gradient((60, 60), (min(255, r + 50), min(255, g + 50), min(255, b + 50),
                                            255), (r, g, b, 255))
        mask = Image.new("L", (60, 60), 0)
        ImageDraw.Draw(mask).rounded_rectangle((0, 0, 59, 59), 14, fill=255)
        if i == 3:  # the active tile glows
            im.alpha_composite(glow(size, (x + 30, 88), 40, (r, g, b, 190), 14))
        im.alpha_composite(shadow(size, (x, 58, x + 60, 118), 14, 5, 110, (0, 4)))
        im.paste(tile, (x, 58), mask)
        # The reflection: the tile upside down, fading from 35% to nothing.
        refl = tile.transpose(Image.FLIP_TOP_BOTTOM)
        fade = np.asarray(mask, np.float64) * np.linspace(0.35, 0.0, 60)[:, None]
        refl.putalpha(Image.fromarray(np.rint(fade).astype(np.uint8), "L"))
        im.alpha_composite(refl.crop((0, 0, 60, 40)), (x, 122))
        ImageDraw.Draw(im).text((x + 8, 166), ["Mail", "Notes", "Maps", "Files", "Music",
                                               "Chat", "Photos"][i],
                                font=font(13), fill=(20, 20, 30, 220))
    ImageDraw.Draw(im).ellipse((x - 76 * 3 + 27, 204, x - 76 * 3 + 33, 210),
                               fill=(255, 255, 255, 200))
    return im


def prepare(work, icon_count):
    """The icons (copied from the theme) and the three composed pictures, made once
    and kept in the work folder."""
    base = os.path.join(work, MATERIAL)
    icons = os.path.join(base, f"icons{icon_count}")
    if not os.path.isdir(icons):
        tmp = icons + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for path in pick_icons(icon_count):
            name = os.path.basename(os.path.dirname(path)) + "-" + os.path.basename(path)
            shutil.copyfile(path, os.path.join(tmp, name))
        os.rename(tmp, icons)
    ui = os.path.join(base, "ui")
    if not os.path.isdir(ui):
        tmp = ui + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for name, make in (("notification", ui_notification), ("player", ui_player),
                           ("dock", ui_dock)):
            make().save(os.path.join(tmp, name + ".png"))
        os.rename(tmp, ui)
    return [("icons", sorted(glob.glob(os.path.join(icons, "*.png")))),
            ("UI pictures", sorted(glob.glob(os.path.join(ui, "*.png"))))]


# ---- The measurement --------------------------------------------------------------------


def run_set(runner, work, set_name, files, n, tool, runs, score):
    """Runs one tool on one set in one command (median of `runs`), then scores
    every output. Returns a dict of the row's figures, or {'fails': cell}."""
    label, argv, output = tool
    folder = os.path.join(work, "out", f"{set_name.split()[0]}-{n}-{label.replace(' ', '')}")
    names = bk.fresh_copies(folder, files)
    r = bk.median_runs(lambda: runner.pipeline([argv(n, names)], cwd=folder), runs)
    if not r.ok:
        return {"fails": r.cell()}
    row = {"seconds": r.seconds, "cpu": r.cpu, "peak": r.peak_mb, "per": []}
    for name in names:
        out = os.path.join(folder, output(name))
        if not os.path.exists(out):
            return {"fails": bk.cell_text(f"fails: no {output(name)}")}
        original = bk.load_rgba(os.path.join(folder, name))
        result = bk.load_rgba(out)
        p, b = bk.worse_of_white_and_black(original, result, score)
        row["per"].append({"name": name, "psnr": p, "ba": b, "bytes": os.path.getsize(out),
                           "alpha": bk.alpha_levels(result),
                           "alpha_in": bk.alpha_levels(original)})
    return row


def main():
    ap = argparse.ArgumentParser(description="kxquant and pngquant on icons with soft alpha")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per command (median)")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-icons"),
                    help="work folder (material, outputs, logs)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: 8 icons and the UI pictures at 64 colours, one run")
    ap.add_argument("--per-picture", action="store_true", help="also a table per picture")
    args = ap.parse_args()
    if args.quick:
        args.runs = 1
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install([ICON_THEME, "pngquant", "butteraugli", "fonts-dejavu-core"], "bench/icons")

    sets = prepare(args.out, 8 if args.quick else 40)
    colours = [64] if args.quick else COLOURS
    runner = bk.Runner(args.out)
    score = bk.Butteraugli(os.path.join(args.out, "runs"))

    print(f"Icons: {len(sets[0][1])} icons of Debian's {ICON_THEME} (256 x 256 RGBA), "
          f"{', '.join(os.path.basename(f)[:-4] for f in sets[0][1])}; UI pictures: "
          f"{', '.join(os.path.basename(f)[:-4] for f in sets[1][1])} (composed).\n")
    print("PSNR and butteraugli: each picture composited over white and over black, the worse "
          "of the two; time: the whole set in one command, median of "
          f"{args.runs} run(s); alpha levels: distinct alpha values, mean over the set "
          "(min-max). CPU time: user + system of the process.\n")
    results = {}
    for set_name, files in sets:
        alpha_in = [bk.alpha_levels(bk.load_rgba(f)) for f in files]
        print(f"### {set_name} ({len(files)} pictures; alpha levels of the originals: "
              f"mean {bk.mean(alpha_in):.0f}, {min(alpha_in)}-{max(alpha_in)})\n")
        rows = []
        for n in colours:
            for tool in TOOLS:
                row = run_set(runner, args.out, set_name, files, n, tool, args.runs, score)
                results[(set_name, n, tool[0])] = row
                if "fails" in row:
                    rows.append([n, tool[0], row["fails"]] + [""] * 7)
                    continue
                per = row["per"]
                alpha = [p["alpha"] for p in per]
                rows.append([
                    n, tool[0], bk.fmt(bk.mean(p["psnr"] for p in per)),
                    bk.fmt(min(p["psnr"] for p in per)), bk.fmt(bk.mean(p["ba"] for p in per)),
                    bk.fmt(max(p["ba"] for p in per)),
                    f"{bk.mean(p['bytes'] for p in per):,.0f}",
                    f"{bk.mean(alpha):.0f} ({min(alpha)}-{max(alpha)})",
                    f"{row['seconds']:.3f} ({row['cpu']:.3f})", f"{row['peak']:.0f}"])
        bk.table(["colours", "tool", "PSNR mean", "PSNR worst", "butteraugli mean",
                  "butteraugli worst", "mean bytes", "alpha levels", "time s (CPU s), one command",
                  "peak MB"], rows, right=range(2, 10))
        if args.per_picture:
            for n in colours:
                rows = []
                for i, f in enumerate(files):
                    cells = [os.path.basename(f)[:-4]]
                    for tool in TOOLS:
                        row = results[(set_name, n, tool[0])]
                        if "fails" in row:
                            cells.append("")
                            continue
                        p = row["per"][i]
                        cells.append(f"{p['psnr']:.1f} dB, {p['ba']:.2f}, {p['bytes']:,} B, "
                                     f"{p['alpha']}/{p['alpha_in']} α")
                    rows.append(cells)
                print(f"{set_name} at {n} colours, per picture (PSNR, butteraugli, bytes, "
                      "alpha levels kept/original):\n")
                bk.table(["picture"] + [t[0] for t in TOOLS], rows, right=[])

    print_targets(results, [s[0] for s in sets], colours, len(sets[0][1]))


def print_targets(results, set_names, colours, icon_count):
    """kxquant against pngquant on the targets of the issues (in brackets)."""
    print("### kxquant against pngquant (targets in brackets)\n")
    for set_name in set_names:
        for n in colours:
            kx = results.get((set_name, n, "kxquant"), {})
            nofs = results.get((set_name, n, "pngquant --nofs"), {})
            if "per" not in kx or "per" not in nofs:
                print(f"- {set_name}, {n} colours: no comparison (a tool failed)")
                continue
            dp = [a["psnr"] - b["psnr"] for a, b in zip(kx["per"], nofs["per"])]
            worst = min(range(len(dp)), key=lambda i: dp[i])
            size = bk.mean(p["bytes"] for p in kx["per"]) / bk.mean(p["bytes"] for p in nofs["per"])
            print(f"- {set_name}, {n} colours: composited PSNR {bk.mean(dp):+.2f} dB against "
                  f"pngquant --nofs on average [>= 0], lowest {dp[worst]:+.2f} dB "
                  f"({kx['per'][worst]['name'][:-4]}) [>= -1]; mean bytes {size:.2f}x "
                  "pngquant --nofs's [<= 1]")
    for n in colours:
        kx = results.get((set_names[0], n, "kxquant"), {})
        pq = results.get((set_names[0], n, "pngquant"), {})
        nofs = results.get((set_names[0], n, "pngquant --nofs"), {})
        if "seconds" in kx and "seconds" in pq and "seconds" in nofs:
            print(f"- {icon_count} icons in one command, {n} colours: kxquant "
                  f"{kx['seconds']:.3f} s, pngquant {pq['seconds']:.3f} s "
                  f"({pq['seconds'] / kx['seconds']:.2f}x kxquant's time) [>= 2 for full alpha, "
                  f">= 3 for forty icons], pngquant --nofs {nofs['seconds']:.3f} s "
                  f"({nofs['seconds'] / kx['seconds']:.2f}x); CPU time: pngquant "
                  f"{pq['cpu'] / kx['cpu']:.2f}x kxquant's")
    print()


if __name__ == "__main__":
    main()
