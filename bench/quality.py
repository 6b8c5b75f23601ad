"""Palette quality of kxreduce/kxquant against its peers; see bench/compare.

Every tool reduces the same photographs to 256 and to 16 colours without
dithering. Reported per picture: PSNR, and the mean and 99th percentile of the
CIEDE2000 colour difference (scikit-image's deltaE_ciede2000 over CIELAB,
D65); then the averages, the hue kept in chelsea's eyes, the whole-process
time on the wallpapers, and two side-by-side PNGs to look at.
"""

import argparse
import math
import os
import statistics
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw

import benchkit as bk

ABOUT = {
    "title": "Palette quality",
    "measures": "The palettes without dithering: scikit-image's seven colour photographs "
                "(astronaut, coffee, chelsea, rocket, motorcycle_left, hubble_deep_field, "
                "immunohistochemistry) and two large wallpapers (lomiri-wallpapers-16.04's "
                "`Bridge_by_Sander_Klootwijk.jpg`, 4352 x 2448, and lomiri-wallpapers-20.04's "
                "`Fossa_by_Jasper_Roks.jpg`, 4096 x 2304) reduced to 256 and 16 colours; PSNR "
                "and the mean and 99th percentile of the CIEDE2000 colour difference "
                "(scikit-image's `deltaE_ciede2000`), the hue kept in chelsea's eyes, the "
                "whole-process time on the wallpapers, and two side-by-side PNGs to look at "
                "(`demo-out/quality/`). Our rows are kxreduce with and without `--refine` "
                "(`KX_QUALITY_TOOL=kxquant` makes them kxquant's).",
    "peers": "pngquant `--nofs`, ImageMagick `-dither None`, netpbm `pnmcolormap` + "
             "`pnmremap -nofs`, Pillow's median cut",
    "takes": "about 10 minutes (most of it the peers and the colour differences on the two "
             "wallpapers; estimated)",
    "run": ["bench/quality --runs 3   # also the end of bench/compare"],
}

# The two rows of our own tool. Until kxquant exists they are kxreduce with and
# without --refine: the same engine and the same palettes. To measure kxquant,
# set OURS to "kxquant" (or run with KX_QUALITY_TOOL=kxquant); its command
# lines are in ours_commands().
OURS = os.environ.get("KX_QUALITY_TOOL", "kxreduce")

# scikit-image's colour photographs (immunohistochemistry is ihc.png).
PHOTOS = ["astronaut.png", "coffee.png", "chelsea.png", "rocket.jpg", "motorcycle_left.png",
          "hubble_deep_field.jpg", "ihc.png"]
# Large wallpapers from Debian packages: (package, file, short name).
WALLPAPERS = [
    ("lomiri-wallpapers-16.04", "/usr/share/backgrounds/Bridge_by_Sander_Klootwijk.jpg",
     "bridge"),
    ("lomiri-wallpapers-20.04", "/usr/share/backgrounds/Fossa_by_Jasper_Roks.jpg", "fossa"),
]
COLOR_COUNTS = [256, 16]

# Chelsea's eyes in the 451 x 300 original: (rows, columns), both inclusive.
EYE_BOXES = [((88, 145), (138, 205)), ((110, 160), (293, 342))]

def ours_commands(stem, result, n):
    """(label, command, loader) of our two rows for input stem and output stem."""
    if OURS == "kxquant":
        exe = bk.KXQUANT
        return [
            (f"kxquant --no-dither {n}",
             [exe, "--no-dither", "-n", str(n), stem + ".png", result + "ref.png"],
             lambda: bk.load_rgb(result + "ref.png")),
            (f"kxquant --no-dither --no-refine {n}",
             [exe, "--no-dither", "--no-refine", "-n", str(n), stem + ".png", result + "des.png"],
             lambda: bk.load_rgb(result + "des.png")),
        ]
    exe = bk.KXREDUCE
    return [
        (f"kxreduce --refine -n {n}", [exe, "--refine", "-n", str(n), stem, result + "ref"],
         lambda: bk.load_icn(result + "ref")),
        (f"kxreduce -n {n}", [exe, "-n", str(n), stem, result + "des"],
         lambda: bk.load_icn(result + "des")),
    ]


def tools(stem, result, n):
    """Every row: (label, list of (command, stdout file or None), loader)."""
    rows = [(label, [(cmd, None)], load) for label, cmd, load in ours_commands(stem, result, n)]
    rows += [
        (f"pngquant --nofs {n}",
         [(["pngquant", "--nofs", "--force", "--output", result + "pq.png", str(n),
            stem + ".png"], None)],
         lambda: bk.load_rgb(result + "pq.png")),
        (f"ImageMagick -dither None -colors {n}",
         [(["convert", stem + ".ppm", "-dither", "None", "-colors", str(n), result + "im.ppm"],
           None)],
         lambda: bk.load_rgb(result + "im.ppm")),
        (f"netpbm pnmcolormap {n} + pnmremap -nofs",
         [(["pnmcolormap", str(n), stem + ".ppm"], result + "map.ppm"),
          (["pnmremap", "-nofs", "-mapfile=" + result + "map.ppm", stem + ".ppm"],
           result + "nb.ppm")],
         lambda: bk.load_rgb(result + "nb.ppm")),
        (f"Pillow quantize({n}, MEDIANCUT)",
         [(["/usr/bin/python3", "-c", bk.PILLOW_MEDIANCUT, stem + ".ppm", result + "pil.ppm",
            str(n)], None)],
         lambda: bk.load_rgb(result + "pil.ppm")),
    ]
    return rows


# ---- Measures -------------------------------------------------------------------------


def ciede2000(original, result):
    """Mean and 99th percentile of CIEDE2000 over all pixels.

    Computed once per distinct (original, result) colour pair and weighted by
    its pixel count: the same figures as pixel by pixel, in a fraction of the
    time on a 10 MP picture. The percentile is the smallest difference that at
    least 99% of the pixels do not exceed."""
    from skimage.color import deltaE_ciede2000, rgb2lab

    def packed(a):
        a = a.reshape(-1, 3).astype(np.uint64)
        return (a[:, 0] << np.uint64(16)) | (a[:, 1] << np.uint64(8)) | a[:, 2]

    keys = (packed(original) << np.uint64(24)) | packed(result)
    pairs, counts = np.unique(keys, return_counts=True)

    def unpacked(k):
        rgb = np.stack([(k >> np.uint64(s)) & np.uint64(255) for s in (16, 8, 0)], axis=-1)
        return rgb.astype(np.uint8).reshape(-1, 1, 3)

    lab_a = rgb2lab(unpacked(pairs >> np.uint64(24)))
    lab_b = rgb2lab(unpacked(pairs & np.uint64(0xFFFFFF)))
    de = deltaE_ciede2000(lab_a, lab_b).reshape(-1)
    mean = float(np.sum(de * counts) / np.sum(counts))
    order = np.argsort(de, kind="stable")
    cumulative = np.cumsum(counts[order])
    p99 = float(de[order][np.searchsorted(cumulative, 0.99 * cumulative[-1])])
    return mean, p99


def eye_hue(original, result):
    """Circular mean hue (degrees) of the result over chelsea's eye pixels.

    The eye pixels are those of the original, inside the two eye boxes, whose
    hue lies between 35 and 110 degrees with saturation >= 0.25 and value
    >= 0.3 (scikit-image's rgb2hsv)."""
    from skimage.color import rgb2hsv

    hsv_o, hsv_r = rgb2hsv(original), rgb2hsv(result)
    hues = []
    for (r0, r1), (c0, c1) in EYE_BOXES:
        o = hsv_o[r0:r1 + 1, c0:c1 + 1]
        h = o[..., 0] * 360
        mask = (h >= 35) & (h <= 110) & (o[..., 1] >= 0.25) & (o[..., 2] >= 0.3)
        hues.append(hsv_r[r0:r1 + 1, c0:c1 + 1][..., 0][mask])
    angles = np.concatenate(hues) * 2 * math.pi
    mean = math.atan2(float(np.mean(np.sin(angles))), float(np.mean(np.cos(angles))))
    return math.degrees(mean) % 360


# ---- Pictures -------------------------------------------------------------------------


def prepare(out, wallpapers=True):
    """PNG, PPM and .pic of every picture; returns (name, stem, is_wallpaper)."""
    sources = []
    for f in PHOTOS:
        path = os.path.join(bk.SKIMAGE_DATA, f)
        if os.path.exists(path):
            sources.append((os.path.splitext(f)[0], path, False))
        else:
            print(f"(scikit-image's {f} is missing from this Debian package: left out)\n",
                  file=sys.stderr)
    if wallpapers:
        bk.install(sorted({p for p, _, _ in WALLPAPERS}), "bench/quality")
        sources += [(name, path, True) for _, path, name in WALLPAPERS]
    pictures = []
    for name, path, big in sources:
        stem = os.path.join(out, name)
        if not os.path.exists(stem + ".png"):
            # JPEG and palette sources become plain RGB PNGs, the input of every tool.
            Image.open(path).convert("RGB").save(stem + ".png")
        if not os.path.exists(stem + ".ppm"):
            Image.open(stem + ".png").save(stem + ".ppm")
        if not os.path.exists(stem + ".pic"):
            subprocess.run([bk.KXCONV, stem + ".png", stem + ".pic"], check=True)
        pictures.append((name, stem, big))
    return pictures


# ---- Report ---------------------------------------------------------------------------


def side_by_side(panels, path, scale=1):
    """Labelled panels (label, RGB array) in one row, enlarged by scale."""
    h, w = panels[0][1].shape[:2]
    h, w = h * scale, w * scale
    band = 16
    sheet = Image.new("RGB", (len(panels) * (w + 4) - 4, h + band), "white")
    draw = ImageDraw.Draw(sheet)
    for i, (label, rgb) in enumerate(panels):
        im = Image.fromarray(rgb).resize((w, h), Image.NEAREST)
        sheet.paste(im, (i * (w + 4), band))
        draw.text((i * (w + 4) + 2, 2), label, fill="black")
    sheet.save(path)


def eye_crop(rgb):
    """Both of chelsea's eyes, enlarged three times in side_by_side."""
    return rgb[80:170, 130:350]


def run_steps(runner, steps):
    """Runs the processes of one tool in turn (each (command, stdout file or None))."""
    return runner.steps([([cmd], out) for cmd, out in steps])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3, help="timed runs on the wallpapers")
    ap.add_argument("--out", default=os.path.join(bk.BUILD, "quality"))
    ap.add_argument("--pictures", default="", help="comma-separated names (default: all)")
    ap.add_argument("--ours-only", action="store_true",
                    help="run only our rows; the peers' earlier results in --out are reused")
    ap.add_argument("--views", default=os.path.join(bk.ROOT, "demo-out", "quality"),
                    help="folder of the side-by-side PNGs")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("quality", args.markdown or None)
    bk.install(["netpbm", "imagemagick", "pngquant", "python3-skimage"], "bench/quality")
    os.makedirs(args.out, exist_ok=True)
    runner = bk.Runner(args.out, {"OMP_NUM_THREADS": "1", "MAGICK_THREAD_LIMIT": "1"})

    wanted = [p for p in args.pictures.split(",") if p]
    pictures = prepare(args.out, wallpapers=not wanted or any(w[2] in wanted for w in WALLPAPERS))
    if wanted:
        pictures = [p for p in pictures if p[0] in wanted]
    ours_count = len(ours_commands("", "", 0))

    report = bk.Report("quality")
    report.line(f"Quality without dithering; our rows are {OURS} (KX_QUALITY_TOOL switches "
                "them).")
    report.line("PSNR over RGB; CIEDE2000 (scikit-image) per pixel, its mean and 99th "
                "percentile.\n")
    results = {}  # (picture, n, row) -> (psnr, mean dE, p99 dE)
    labels = {}
    hue = {}
    for n in COLOR_COUNTS:
        report.line(f"### {n} colours\n")
        rows = []
        for name, stem, _ in pictures:
            original = bk.load_rgb(stem + ".png")
            result = os.path.join(args.out, f"{name}-{n}-")
            for t, (label, steps, load) in enumerate(tools(stem, result, n)):
                labels[(n, t)] = label
                code = 0
                if not (args.ours_only and t >= ours_count):
                    code = run_steps(runner, steps).status
                if code != 0:
                    rows.append([name, label, f"status {code}", "", ""])
                    continue
                try:
                    image = load()
                except (OSError, ValueError):
                    rows.append([name, label, "no result", "", ""])
                    continue
                p = bk.psnr(original, image)
                mean, p99 = ciede2000(original, image)
                results[(name, n, t)] = (p, mean, p99)
                if name == "chelsea" and n == 256:
                    hue[label] = eye_hue(original, image)
                rows.append([name, label, f"{p:.2f}", f"{mean:.2f}", f"{p99:.2f}"])
        report.table(["picture", "tool", "PSNR dB", "ΔE00 mean", "ΔE00 p99"], rows)

    report.line("### Averages over the pictures\n")
    rows = []
    for n in COLOR_COUNTS:
        for t in range(len(tools("", "", n))):
            got = [v for k, v in results.items() if k[1] == n and k[2] == t]
            if got:
                rows.append([n, labels[(n, t)], f"{statistics.mean(g[0] for g in got):.2f}",
                             f"{statistics.mean(g[1] for g in got):.2f}",
                             f"{statistics.mean(g[2] for g in got):.2f}"])
    report.table(["colours", "tool", "PSNR dB", "ΔE00 mean", "ΔE00 p99"], rows)

    # The targets: refined (row 0) against pngquant --nofs (row 2).
    report.line("### Refined against pngquant --nofs (targets in brackets)\n")
    for n in COLOR_COUNTS:
        names = [p[0] for p in pictures if (p[0], n, 0) in results and (p[0], n, 2) in results]
        if not names:
            continue
        dp = [results[(x, n, 0)][0] - results[(x, n, 2)][0] for x in names]
        dq = [results[(x, n, 0)][2] / results[(x, n, 2)][2] - 1 for x in names]
        worst = min(range(len(names)), key=lambda i: dp[i])
        worst_q = max(range(len(names)), key=lambda i: dq[i])
        report.line(f"- {n} colours: PSNR {statistics.mean(dp):+.2f} dB on average [>= -0.30], "
                    f"lowest {dp[worst]:+.2f} dB ({names[worst]}) [>= -1.00]; "
                    f"ΔE00 p99 {100 * statistics.mean(dq):+.1f}% on average, highest "
                    f"{100 * dq[worst_q]:+.1f}% ({names[worst_q]}) [<= +10%]")
    if hue:
        chelsea = bk.load_rgb([p for p in pictures if p[0] == "chelsea"][0][1] + ".png")
        report.line("\n### Chelsea's eyes at 256 colours: circular mean hue [within 5° of the "
                    "original]\n")
        report.line(f"- original: {eye_hue(chelsea, chelsea):.1f}°")
        for label, h in hue.items():
            report.line(f"- {label}: {h:.1f}°")

    walls = [p for p in pictures if p[2]]
    if walls and args.runs > 0:
        report.line(f"\n### Whole-process time on the wallpapers (median of {args.runs} runs, "
                    "single-threaded)\n")
        rows = []
        for name, stem, _ in walls:
            w, h = Image.open(stem + ".png").size
            for n in COLOR_COUNTS:
                steps = tools(stem, os.path.join(args.out, f"{name}-{n}-time-"), n)
                ref, des, pq = (bk.median_runs(lambda: run_steps(runner, steps[i][1]), args.runs)
                                for i in (0, 1, 2))
                if not (ref.ok and des.ok and pq.ok):
                    rows.append([name, n, "failed", "", "", ""])
                    continue
                rows.append([f"{name} {w}x{h} ({w * h / 1e6:.1f} MP)", n, f"{ref.seconds:.3f}",
                             f"{des.seconds:.3f}", f"{pq.seconds:.3f}",
                             f"{pq.seconds / ref.seconds:.1f}"])
        report.table(["picture", "colours", "refined s", "design s", "pngquant --nofs s",
                      "pngquant / refined [>= 3]"], rows, right=range(1, 6))
    report.save()

    # Two views to look at: the astronaut at 16 colours, chelsea's eyes at 256.
    os.makedirs(args.views, exist_ok=True)
    for name, n, crop, scale, file in (("astronaut", 16, lambda a: a, 1, "astronaut-16.png"),
                                       ("chelsea", 256, eye_crop, 3, "chelsea-256-eyes.png")):
        stem = [p[1] for p in pictures if p[0] == name]
        if not stem:
            continue
        result = os.path.join(args.out, f"{name}-{n}-")
        rows = tools(stem[0], result, n)
        try:
            panels = [("original", crop(bk.load_rgb(stem[0] + ".png")))]
            panels += [(rows[i][0], crop(rows[i][2]())) for i in (1, 0, 2)]
        except (OSError, ValueError):
            continue
        side_by_side(panels, os.path.join(args.views, file), scale)
        print(f"Side by side: {os.path.join(args.views, file)}")


if __name__ == "__main__":
    main()
