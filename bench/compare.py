"""Runs kxreduce and its peers side by side; see bench/compare."""

import argparse
import math
import os
import statistics
import subprocess
import sys

import numpy as np
from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "Speed against the peers",
    "measures": "kxreduce and kxquant side by side with the tools users would pick instead, on "
                "the same pixels: the median whole-process wall time (reading, reducing, "
                "writing), the peak memory (GNU time) and the PSNR of the result against the "
                "original, on scikit-image's `chelsea.png` upscaled (bicubic) to about 1, 4 and "
                "16 megapixels and on a 2048 x 2048 picture of random noise (the worst case); "
                "kxreduce and kxquant with one thread and with their default, every core (the "
                "`threads` column), the peers single-threaded (`OMP_NUM_THREADS=1`, "
                "`MAGICK_THREAD_LIMIT=1`). Then kxquant on the twelve 9 MP wallpapers of "
                "Debian's `ukui-wallpapers` (JPEG and PNG, 3640 to 3840 x 2400), from the file "
                "itself to an indexed PNG, against pngquant from a PNG of the same pixels and "
                "kxreduce from the picture file, every tool on one thread; \"levels\" is "
                "kxquant's compression for counting (256: none). `bench/compare` ends with "
                "bench/quality (\"Palette quality\").",
    "peers": "netpbm (`pnmcolormap` + `pnmremap`, with and without `-fs`), ImageMagick "
             "(`-colors 256`, with and without Floyd-Steinberg), pngquant (with and without "
             "`--nofs`), Pillow's median cut",
    "takes": "about 5 minutes with `--runs 3` for the speed part (estimated from the times in "
             "its tables), then the quality part",
    "run": ["bench/compare --runs 3                       # speed, then quality",
            "bench/compare --speed-only --only-wallpapers  # the wallpapers alone"],
}

PARTS = ["photos", "wallpapers"]  # the parts of the kept results, in the order shown


def photo_sources():
    data = bk.SKIMAGE_DATA
    # chelsea first: upscaled, astronaut keeps more than 62768 colours even
    # after kxreduce's automatic compression, which then stops (status 1).
    names = ["chelsea.png", "coffee.png", "astronaut.png"]
    found = [os.path.join(data, n) for n in names if os.path.exists(os.path.join(data, n))]
    if not found:
        sys.exit("no photographs found: install python3-skimage")
    return found


def make_inputs(out, sizes):
    """Photographs upscaled to about 1, 4 and 16 MP, and a 4 MP noise picture."""
    inputs = []
    src = photo_sources()[0]
    base = Image.open(src).convert("RGB")
    for mp in sizes:
        scale = math.sqrt(mp * 1_000_000 / (base.width * base.height))
        w, h = int(round(base.width * scale)), int(round(base.height * scale))
        name = os.path.join(out, f"photo{mp}mp")
        if not os.path.exists(name + ".png"):
            base.resize((w, h), Image.BICUBIC).save(name + ".png")
        inputs.append((f"photo {w}x{h} ({w * h / 1e6:.1f} MP, {os.path.basename(src)})", name))
    name = os.path.join(out, "noise4mp")
    if not os.path.exists(name + ".png"):
        rng = np.random.default_rng(1)
        Image.fromarray(rng.integers(0, 256, (2048, 2048, 3), dtype=np.uint8)).save(name + ".png")
    inputs.append(("noise 2048x2048 (4 MP)", name))
    for _, name in inputs:
        if not os.path.exists(name + ".ppm"):
            Image.open(name + ".png").convert("RGB").save(name + ".ppm")
        if not os.path.exists(name + ".pic"):
            subprocess.run([bk.KXCONV, name + ".png", name + ".pic"], check=True)
    return inputs


def thread_counts():
    """Our tools' thread counts: one, and their default (every core they may run on)."""
    cores = len(os.sched_getaffinity(0))
    return [1] if cores == 1 else [1, cores]


def threads_env(threads):
    """KX_THREADS for kxreduce and kxquant (None: their default)."""
    return {"KX_THREADS": threads}


def tools(name, work, runner):
    """(tool, threads, run, result) of every tool; the peers run single-threaded."""
    kx, kq = bk.KXREDUCE, bk.KXQUANT
    r = os.path.join(work, "r")
    run = runner.pipeline
    runs = []
    for t in thread_counts():
        env = threads_env(t)
        runs += [
            ("kxreduce -n 256", t,
             lambda env=env: run([[kx, "-n", "256", name, r + "kx"]], env=env),
             lambda: bk.load_icn(r + "kx")),
            ("kxreduce -a -n 256", t,
             lambda env=env: run([[kx, "-a", "-n", "256", name, r + "kxa"]], env=env),
             lambda: bk.load_icn(r + "kxa")),
            ("kxquant --no-dither -n 256 (PNG in, PNG out)", t,
             lambda env=env: run([[kq, "-f", "-q", "--no-dither", "-n", "256", "-o",
                                   r + "kq.png", name + ".png"]], env=env),
             lambda: bk.load_rgb(r + "kq.png")),
            ("kxquant -a -n 256 (PNG in, PNG out)", t,
             lambda env=env: run([[kq, "-f", "-q", "-a", "-n", "256", "-o", r + "kqa.png",
                                   name + ".png"]], env=env),
             lambda: bk.load_rgb(r + "kqa.png")),
        ]
    return runs + [(tool, 1, run, result) for tool, run, result in [
        ("netpbm pnmcolormap + pnmremap -nofs",
         lambda: runner.steps([([["pnmcolormap", "256", name + ".ppm"]], r + "map.ppm"),
                               ([["pnmremap", "-nofs", "-mapfile=" + r + "map.ppm",
                                  name + ".ppm"]], r + "nofs.ppm")]),
         lambda: bk.load_rgb(r + "nofs.ppm")),
        ("netpbm pnmcolormap + pnmremap -fs",
         lambda: runner.steps([([["pnmcolormap", "256", name + ".ppm"]], r + "map.ppm"),
                               ([["pnmremap", "-fs", "-mapfile=" + r + "map.ppm",
                                  name + ".ppm"]], r + "fs.ppm")]),
         lambda: bk.load_rgb(r + "fs.ppm")),
        ("ImageMagick -dither None -colors 256",
         lambda: run([["convert", name + ".ppm", "-dither", "None", "-colors", "256",
                       r + "im.ppm"]]),
         lambda: bk.load_rgb(r + "im.ppm")),
        ("ImageMagick -dither FloydSteinberg -colors 256",
         lambda: run([["convert", name + ".ppm", "-dither", "FloydSteinberg", "-colors",
                       "256", r + "imfs.ppm"]]),
         lambda: bk.load_rgb(r + "imfs.ppm")),
        ("pngquant --nofs 256",
         lambda: run([["pngquant", "--nofs", "--force", "--output", r + "pq.png", "256",
                       name + ".png"]]),
         lambda: bk.load_rgb(r + "pq.png")),
        ("pngquant 256",
         lambda: run([["pngquant", "--force", "--output", r + "pqfs.png", "256",
                       name + ".png"]]),
         lambda: bk.load_rgb(r + "pqfs.png")),
        ("Pillow quantize(256, MEDIANCUT)",
         lambda: run([["/usr/bin/python3", "-c", bk.PILLOW_MEDIANCUT, name + ".ppm",
                       r + "pil.ppm", "256"]]),
         lambda: bk.load_rgb(r + "pil.ppm")),
    ]]


def wallpapers():
    """The wallpapers of ukui-wallpapers (3640 to 3840 x 2400)."""
    return [f for f in bk.package_pictures("ukui-wallpapers") if Image.open(f).size[1] >= 2400]


def quality(original, r, load, unit=""):
    """The PSNR of a run's result as a cell, or its status."""
    return f"{bk.psnr(original, load()):.2f}{unit}" if r.status == 0 else f"status {r.status}"


def compare_wallpapers(out, runs, runner, report):
    """kxquant (JPEG or PNG in, indexed PNG out) against pngquant --nofs 256 on the
    same pixels (the PNG itself, or a PNG of the JPEG's pixels) and kxreduce (on
    the picture file), per wallpaper."""
    kq, kx = bk.KXQUANT, bk.KXREDUCE
    found = wallpapers()
    if not found:
        report.line("(no wallpapers in /usr/share/backgrounds: install ukui-wallpapers)\n")
        return
    report.line("### Wallpapers (ukui-wallpapers), whole process, one thread each, median of %d "
                "runs\n" % runs)
    rows, ratios, cpu_ratios = [], [], []
    one = threads_env(1)
    for src in found:
        base = os.path.splitext(os.path.basename(src))[0]
        stem = os.path.join(out, "wp-" + base)
        pq_in = src if src.endswith(".png") else stem + ".png"
        if not os.path.exists(pq_in):
            Image.open(src).convert("RGB").save(pq_in)
        if not os.path.exists(stem + ".pic"):
            subprocess.run([bk.KXCONV, src, stem + ".pic"], check=True)
        original = bk.load_rgb(src)
        kq_out, pq_out, kx_out = stem + "-kq.png", stem + "-pq.png", stem + "-kx"
        # Without dithering, as pngquant --nofs.
        note = subprocess.run([kq, "-f", "--no-dither", "-o", kq_out, src], capture_output=True,
                              text=True)
        levels = note.stderr.split("compressed to ")[1].split()[0] \
            if "compressed to" in note.stderr else "256"
        kq_r = bk.median_runs(lambda: runner.pipeline(
            [[kq, "-f", "-q", "--no-dither", "-o", kq_out, src]], env=one), runs, True)
        pq_r = bk.median_runs(lambda: runner.pipeline(
            [["pngquant", "--nofs", "--force", "--output", pq_out, "256", pq_in]]), runs, True)
        kx_r = bk.median_runs(lambda: runner.pipeline(
            [[kx, "-n", "256", stem, kx_out]], env=one), runs, True)
        if None in (kq_r.seconds, pq_r.seconds, kx_r.seconds):
            rows.append([os.path.basename(src), "timeout"] + [""] * 7)
            continue
        ratios.append(pq_r.seconds / kq_r.seconds)
        cpu_ratios.append(pq_r.cpu / kq_r.cpu)
        rows.append([os.path.basename(src), f"{kq_r.seconds:.3f} ({kq_r.cpu:.2f})",
                     quality(original, kq_r, lambda: bk.load_rgb(kq_out)), levels,
                     f"{pq_r.seconds:.3f} ({pq_r.cpu:.2f})",
                     quality(original, pq_r, lambda: bk.load_rgb(pq_out)), f"{kx_r.seconds:.3f}",
                     quality(original, kx_r, lambda: bk.load_icn(kx_out), " dB"),
                     f"{ratios[-1]:.2f} ({cpu_ratios[-1]:.2f})"])
    report.table(["picture", "kxquant s (CPU s)", "PSNR", "levels", "pngquant --nofs s (CPU s)",
                  "PSNR", "kxreduce s", "kxreduce", "pngquant / kxquant (CPU)"], rows,
                 right=range(1, 9))
    if ratios:
        report.line(f"pngquant / kxquant, median over the wallpapers: "
                    f"{statistics.median(ratios):.2f} wall time, "
                    f"{statistics.median(cpu_ratios):.2f} CPU time\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sizes", default="1,4,16")
    ap.add_argument("--out", default=os.path.join(bk.BUILD, "compare"))
    ap.add_argument("--only-wallpapers", action="store_true")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("compare", args.markdown or None, PARTS)
    bk.install(["netpbm", "imagemagick", "pngquant", "python3-skimage", "ukui-wallpapers"],
               "bench/compare")
    os.makedirs(args.out, exist_ok=True)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    runner = bk.Runner(args.out, {"OMP_NUM_THREADS": "1", "MAGICK_THREAD_LIMIT": "1"})

    counts = thread_counts()
    report = bk.Report("compare", "wallpapers")
    report.line(f"Machine: {len(os.sched_getaffinity(0))} cores; kxreduce and kxquant with "
                f"{' and '.join(map(str, counts))} thread(s), the peers single-threaded; "
                f"median of {args.runs} runs")
    report.line("Wall time is the whole process (reading, reducing, writing); memory is peak "
                "RSS.\n")
    compare_wallpapers(args.out, max(1, min(args.runs, 3)), runner, report)
    report.save()
    if args.only_wallpapers:
        return
    report = bk.Report("compare", "photos")
    for label, name in make_inputs(args.out, sizes):
        original = bk.load_rgb(name + ".png")
        runs = args.runs if original.size < 3 * 8_000_000 else max(3, args.runs // 2)
        report.line(f"### {label}\n")
        rows, base = [], None
        # The noise picture is kxreduce's worst case (every pixel a new colour);
        # the peers' times on it say nothing about photographs and netpbm
        # alone takes minutes, so it is run for kxreduce only.
        candidates = tools(name, args.out, runner)
        if "noise" in label:
            candidates = [t for t in candidates if t[0].startswith("kxreduce")]
        for tool, threads, run, result in candidates:
            r = bk.median_runs(run, runs, failed_too=True)
            if r.seconds is None:
                rows.append([tool, threads, "timeout", "", "", ""])
                continue
            if base is None:
                base = r.seconds
            try:
                cell = quality(original, r, result)
            except (OSError, ValueError):
                cell = f"status {r.status}"
            rows.append([tool, threads, f"{r.seconds:.3f}", f"{r.peak_mb:.0f}", cell,
                         f"{r.seconds / base:.2f}"])
        report.table(["tool", "threads", "median s", "peak MB", "PSNR dB", "time / kxreduce"],
                     rows, right=range(1, 6))
    report.save()


if __name__ == "__main__":
    main()
