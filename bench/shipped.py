"""Photographs and screenshots as shipped: kxquant against pngquant by look and
bytes; see bench/shipped."""

import argparse
import os
import shutil
import subprocess

import numpy as np
from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "Pictures as people ship them",
    "measures": "Four 1024 x 768 photograph crops (lomiri-wallpapers-16.04: bridge cables "
                "against the sky, a fig, a sunset, a lamp), three 1280 x 800 screenshots "
                "benchkit composes (a web page with blurred card shadows, a dark code editor, a "
                "dashboard with charts) and two 1024 x 768 gradients (four colours blended from "
                "the corners, a dim vignette), at 256 and 64 colours, one process per picture. "
                "Per set and tool: butteraugli mean and worst, PSNR, bytes, time, the percent "
                "`optipng -o2` still removes from the tool's file, and the percent of pixels "
                "that are not the palette entry nearest to their original colour (what "
                "dithering moved); then kxquant against pngquant (defaults, 256 colours) on the "
                "9 MP ukui-wallpapers (renders) and lomiri's photographs of 9 MP and more, per "
                "picture and the whole folder in one command.",
    "peers": "pngquant (its default and `--nofs`), optipng",
    "takes": "about 15 minutes with `--runs 3`, half of it the speed table (estimated)",
    "run": ["bench/shipped --runs 3 --no-speed    # the looks",
            "bench/shipped --runs 3 --speed-only  # the speed table"],
}

# ---- The tools: change these lines when kxquant gains options -------------------------
# (label, extra arguments). kxquant's default dithers where it hides banding;
# --no-dither maps every pixel to its nearest entry; "-a" is the design's error
# diffusion over every pixel.
KXQUANT_ROWS = [
    ("kxquant", []),
    ("kxquant, no dithering", ["--no-dither"]),
    ("kxquant -a", ["-a"]),
]
PNGQUANT_ROWS = [
    ("pngquant", []),
    ("pngquant --nofs", ["--nofs"]),
]
# The rows without dithering, whose files optipng's gain is judged on.
UNDITHERED = ["kxquant, no dithering", "pngquant --nofs"]
COLOURS = [256, 64]
MATERIAL = "material-v2"  # change when the generated pictures change
LOMIRI = "lomiri-wallpapers-16.04"
PARTS = ["", "speed"]  # the parts of the kept results: the looks, the speed table
# Photograph crops: (name, file of lomiri-wallpapers-16.04, where the 1024 x 768
# crop sits in the photograph scaled to 2048 pixels wide, as fractions of the
# room left and right, above and below).
PHOTOS = [
    ("bridge", "Bridge_by_Sander_Klootwijk.jpg", (0.35, 0.0)),
    ("fig", "Picture_0B_by_freespace.jpg", (0.5, 0.5)),
    ("sunset", "sunset_by_Aitzol_Berasategi.jpg", (0.4, 0.35)),
    ("lamp", "free_by_Peter_Nerlich.jpg", (0.55, 0.35)),
]


def kx_command(extra, n, src, dst):
    return [bk.KXQUANT, "-f", "-q", "-n", str(n)] + extra + ["-o", dst, src]


def pq_command(extra, n, src, dst):
    return ["pngquant", "--force"] + extra + ["--output", dst, str(n), src]


def tools():
    return [(label, lambda n, s, d, e=extra: kx_command(e, n, s, d))
            for label, extra in KXQUANT_ROWS] + \
           [(label, lambda n, s, d, e=extra: pq_command(e, n, s, d))
            for label, extra in PNGQUANT_ROWS]


# ---- Material: photograph crops and composed screenshots --------------------------------


def prepare(work, quick):
    """Photograph crops and screenshots as PNG files, made once."""
    base = os.path.join(work, MATERIAL)
    if not os.path.isdir(base):
        tmp = base + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        crops = {}
        for name, file, where in PHOTOS:
            crops[name] = bk.photo_crop(file, where, enlarge=True)
            crops[name].save(os.path.join(tmp, f"photo-{name}.png"))
        bk.web_page(crops["fig"]).save(os.path.join(tmp, "screen-web.png"))
        bk.code_editor().save(os.path.join(tmp, "screen-code.png"))
        bk.dashboard().save(os.path.join(tmp, "screen-dashboard.png"))
        for name, im in zip(("blend", "vignette"), bk.gradients()):
            im.save(os.path.join(tmp, f"gradient-{name}.png"))
        os.rename(tmp, base)
    photos = [os.path.join(base, f"photo-{p[0]}.png") for p in PHOTOS]
    screens = [os.path.join(base, f"screen-{n}.png") for n in ("web", "code", "dashboard")]
    ramps = [os.path.join(base, f"gradient-{n}.png") for n in ("blend", "vignette")]
    if quick:
        photos, screens, ramps = photos[:1], screens[:1], ramps[:1]
    return [("photographs 1024x768", photos), ("screenshots 1280x800", screens),
            ("gradients 1024x768", ramps)]


# ---- Measures ---------------------------------------------------------------------------


def moved_share(original, path):
    """The share of pixels whose colour is not the palette entry nearest to the
    original colour (RGB distance; ties count as nearest): the pixels that
    dithering moved. pngquant chooses nearest entries in a colour space of its
    own, so its files show a few percent even without dithering."""
    im = Image.open(path)
    if im.mode != "P":
        return float("nan")
    palette = np.array(im.getpalette()[:3 * 256], np.int64).reshape(-1, 3)
    result = np.asarray(im.convert("RGB"))
    o = original.reshape(-1, 3).astype(np.int64)
    r = result.reshape(-1, 3).astype(np.int64)
    keys = (o[:, 0] << 40) | (o[:, 1] << 32) | (o[:, 2] << 24) | (r[:, 0] << 16) | \
        (r[:, 1] << 8) | r[:, 2]
    pairs, counts = np.unique(keys, return_counts=True)
    po = np.stack([(pairs >> s) & 255 for s in (40, 32, 24)], axis=1)
    pr = np.stack([(pairs >> s) & 255 for s in (16, 8, 0)], axis=1)
    moved = 0
    for i in range(0, len(pairs), 8192):
        a = po[i:i + 8192]
        nearest = np.min(np.sum((a[:, None, :] - palette[None, :, :]) ** 2, axis=2), axis=1)
        got = np.sum((a - pr[i:i + 8192]) ** 2, axis=1)
        moved += int(np.sum(counts[i:i + 8192][got > nearest]))
    return moved / original.shape[0] / original.shape[1]


def optipng_gain(path, work):
    """The percent of the file's bytes that `optipng -o2` removes."""
    tmp = os.path.join(work, "optipng.png")
    if os.path.exists(tmp):
        os.remove(tmp)
    r = subprocess.run(["optipng", "-quiet", "-o2", "-out", tmp, path], capture_output=True,
                       timeout=bk.TIMEOUT)
    if r.returncode != 0 or not os.path.exists(tmp):
        return float("nan")
    return 100.0 * (os.path.getsize(path) - os.path.getsize(tmp)) / os.path.getsize(path)


# ---- Report -------------------------------------------------------------------------------


def measure(runner, work, files, n, label, command, runs, butteraugli):
    """Every picture of a set through one tool: a list of per-picture dicts, or a
    failure cell."""
    per = []
    folder = os.path.join(work, "out")
    os.makedirs(folder, exist_ok=True)
    for src in files:
        dst = os.path.join(folder, f"{os.path.basename(src)[:-4]}-{n}-"
                                   f"{label.replace(' ', '').replace(',', '')}.png")
        r = bk.median_runs(lambda: runner.pipeline([command(n, src, dst)]), runs)
        if not r.ok or not os.path.exists(dst):
            return r.cell() if not r.ok else f"fails: no {os.path.basename(dst)}"
        original = bk.load_rgb(src)
        result = bk.load_rgb(dst)
        per.append({"name": os.path.basename(src)[:-4], "seconds": r.seconds, "cpu": r.cpu,
                    "bytes": os.path.getsize(dst), "psnr": bk.psnr(original, result),
                    "ba": butteraugli(original, result),
                    "optipng": optipng_gain(dst, os.path.join(work, "runs")),
                    "moved": 100 * moved_share(original, dst)})
    return per


def main():
    ap = argparse.ArgumentParser(description="kxquant and pngquant on photographs and "
                                             "screenshots, by look and bytes")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per command (median)")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-shipped"),
                    help="work folder (material, outputs, logs)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: one picture of each set, 64 colours, one run, "
                         "one wallpaper")
    ap.add_argument("--no-speed", action="store_true", help="leave out the wallpaper speed table")
    ap.add_argument("--speed-only", action="store_true", help="only the wallpaper speed table")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("shipped", args.markdown or None, PARTS)
    if args.quick:
        args.runs = 1
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install(["pngquant", "optipng", "butteraugli", "fonts-dejavu-core", LOMIRI,
                "ukui-wallpapers"], "bench/shipped")
    sets = prepare(args.out, args.quick)
    colours = [64] if args.quick else COLOURS
    runner = bk.Runner(args.out)
    # A smoke test keeps its results in the work folder, not beside the scripts.
    kept = os.path.join(args.out, "results.json") if args.quick else None
    if args.speed_only:
        speed(runner, args.out, args.runs, 1 if args.quick else None,
              bk.Report("shipped", "speed", kept))
        return
    report = bk.Report("shipped", "", kept)
    butteraugli = bk.Butteraugli(os.path.join(args.out, "runs"))

    report.line("Whole process per picture (median of %d run(s)), every tool with its defaults; "
                "butteraugli (lower is better) and PSNR against the original; optipng: the percent "
                "`optipng -o2` removes from the tool's file; moved: the percent of pixels that are "
                "not the palette entry nearest to their original colour.\n" % args.runs)
    report.line("kxquant rows: "
                + "; ".join(f"{label}: `{' '.join(['kxquant', '-n', 'N'] + extra)}`"
                            for label, extra in KXQUANT_ROWS) + "\n")
    results = {}
    rows = []
    for set_name, files in sets:
        for n in colours:
            for label, command in tools():
                per = measure(runner, args.out, files, n, label, command, args.runs, butteraugli)
                results[(set_name, n, label)] = per
                if isinstance(per, str):
                    rows.append([set_name, n, label, per] + [""] * 6)
                    continue
                rows.append([set_name, n, label, bk.fmt(bk.mean(p["ba"] for p in per)),
                             bk.fmt(max(p["ba"] for p in per)),
                             bk.fmt(bk.mean(p["psnr"] for p in per)),
                             f"{bk.mean(p['bytes'] for p in per):,.0f}",
                             f"{bk.mean(p['seconds'] for p in per):.3f} "
                             f"({bk.mean(p['cpu'] for p in per):.3f})",
                             bk.fmt(bk.mean(p["optipng"] for p in per), 1),
                             bk.fmt(bk.mean(p["moved"] for p in per), 1)])
    report.line("### Per set (means over the pictures)\n")
    report.table(["set", "colours", "tool", "butteraugli mean", "butteraugli worst", "PSNR dB",
                  "mean bytes", "s per picture (CPU s)", "optipng -o2 gain %", "moved %"], rows,
                 right=range(3, 10))

    report.line("### Per picture: butteraugli, bytes, moved %\n")
    labels = [t[0] for t in tools()]
    detail = []
    for set_name, files in sets:
        for n in colours:
            for i, f in enumerate(files):
                cells = [os.path.basename(f)[:-4], n]
                for label in labels:
                    per = results[(set_name, n, label)]
                    cells.append("" if isinstance(per, str) else
                                 f"{per[i]['ba']:.2f}, {per[i]['bytes']:,}, "
                                 f"{per[i]['moved']:.1f}%")
                detail.append(cells)
    report.table(["picture", "colours"] + labels, detail, right=[1])
    print_targets(results, sets, colours, report)
    report.save()
    if not args.no_speed:
        speed(runner, args.out, args.runs, 1 if args.quick else None,
              bk.Report("shipped", "speed", kept))


def print_targets(results, sets, colours, report):
    report.line("### kxquant against pngquant (targets in brackets)\n")
    for set_name, _ in sets:
        for n in colours:
            kx = results.get((set_name, n, KXQUANT_ROWS[0][0]))
            pq = results.get((set_name, n, "pngquant"))
            kxn = results.get((set_name, n, UNDITHERED[0]))
            if any(isinstance(x, str) or x is None for x in (kx, pq, kxn)):
                report.line(f"- {set_name}, {n} colours: no comparison (a tool failed)")
                continue
            report.line(f"- {set_name}, {n} colours: kxquant's default butteraugli mean "
                        f"{bk.mean(p['ba'] for p in kx):.2f} against pngquant's "
                        f"{bk.mean(p['ba'] for p in pq):.2f}, worst {max(p['ba'] for p in kx):.2f} "
                        f"against {max(p['ba'] for p in pq):.2f} [at or below]; mean bytes "
                        f"{bk.mean(p['bytes'] for p in kx) / bk.mean(p['bytes'] for p in pq):.2f}x "
                        f"pngquant's [<= 0.9]; optipng -o2 finds "
                        f"{bk.mean(p['optipng'] for p in kxn):.1f}% more in kxquant's files "
                        "without dithering [<= 1]")
    # The targets' own scope: every photograph and screenshot at a colour count
    # (the gradients are a harder case of our own, reported above).
    for n in colours:
        per = {label: [p for set_name, _ in sets[:2]
                       if isinstance(results.get((set_name, n, label)), list)
                       for p in results[(set_name, n, label)]]
               for label in (KXQUANT_ROWS[0][0], "pngquant")}
        kx, pq = per[KXQUANT_ROWS[0][0]], per["pngquant"]
        if kx and pq:
            report.line(f"- photographs and screenshots together, {n} colours: butteraugli mean "
                        f"{bk.mean(p['ba'] for p in kx):.2f} against "
                        f"{bk.mean(p['ba'] for p in pq):.2f}, worst {max(p['ba'] for p in kx):.2f} "
                        f"against {max(p['ba'] for p in pq):.2f} [at or below]; mean bytes "
                        f"{bk.mean(p['bytes'] for p in kx) / bk.mean(p['bytes'] for p in pq):.2f}x "
                        "pngquant's [<= 0.9]")
    report.line()


def wallpapers():
    """The 9 MP pictures: ukui-wallpapers' renders and lomiri's photographs."""
    found = bk.package_pictures("ukui-wallpapers") + bk.package_pictures(LOMIRI)
    return [f for f in found if Image.open(f).size[0] * Image.open(f).size[1] >= 8_500_000]


def cells(r):
    """Time and peak memory of a run, or its failure."""
    return [bk.seconds_cell(r, 3), f"{r.peak_mb:.0f}"] if r.ok else [r.cell(), ""]


def ratios(kx, pq):
    """pngquant's time over kxquant's, wall (CPU)."""
    if not (kx.ok and pq.ok):
        return [""]
    return [f"{bk.ratio(pq.seconds, kx.seconds)} ({bk.ratio(pq.cpu, kx.cpu)})"]


def speed(runner, work, runs, limit, report):
    """kxquant's default against pngquant's default on the 9 MP wallpapers, from
    the same PNG file, whole process: per picture, and the folder in one
    command each."""
    folder = os.path.join(work, "wallpapers")
    os.makedirs(folder, exist_ok=True)
    pngs = []
    for src in wallpapers()[:limit]:
        png = os.path.join(folder, os.path.basename(src)[:-4] + ".png")
        if not os.path.exists(png):
            Image.open(src).convert("RGB").save(png)
        pngs.append(png)
    if not pngs:
        report.line("(no wallpapers: install ukui-wallpapers)\n")
        return report.save()
    report.line(f"### 9 MP pictures (ukui-wallpapers' renders, lomiri's photographs), 256 colours, "
                f"whole process, median of "
                f"{runs} run(s)\n")
    rows = []
    for png in pngs:
        w, h = Image.open(png).size
        kx = bk.median_runs(lambda: runner.pipeline(
            [kx_command(KXQUANT_ROWS[0][1], 256, png, png[:-4] + "-kx.out.png")]), runs)
        pq = bk.median_runs(lambda: runner.pipeline(
            [pq_command(PNGQUANT_ROWS[0][1], 256, png, png[:-4] + "-pq.out.png")]), runs)
        rows.append([os.path.basename(png), f"{w}x{h}"] + cells(kx) + cells(pq) + ratios(kx, pq))
    # The folder in one command per tool (kxquant writes <stem>-kx.png beside each).
    names = [os.path.basename(p) for p in pngs]
    kx = bk.median_runs(lambda: runner.pipeline(
        [[bk.KXQUANT, "-f", "-q"] + KXQUANT_ROWS[0][1] + names], cwd=folder), runs)
    pq = bk.median_runs(lambda: runner.pipeline(
        [["pngquant", "--force", "--ext", "-pq.png"] + PNGQUANT_ROWS[0][1] + ["256"] + names],
        cwd=folder), runs)
    rows.append([f"all {len(names)} in one command", ""] + cells(kx) + cells(pq) + ratios(kx, pq))
    report.table(["picture", "size", "kxquant s (CPU s)", "peak MB", "pngquant s (CPU s)",
                  "peak MB", "pngquant / kxquant [>= 3]"], rows, right=range(2, 7))
    report.save()


if __name__ == "__main__":
    main()
