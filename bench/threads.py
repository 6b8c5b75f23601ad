"""One thread against every core, whole process; see bench/threads."""

import argparse
import os
import statistics
import subprocess
import sys

from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "Threads",
    "measures": "The whole process with `KX_THREADS=1` and with the default, alternating the "
                "two: kxreduce (plain and `-a`), kxquant and kxconv on 9 MP pictures "
                "(scikit-image's `chelsea.png` upscaled to 3840 x 2400, and ukui-wallpapers' "
                "`the-mouse.jpg` with `-z 64`, where it keeps 61,666 colours) and on a sequence "
                "of 16 frames of 1920 x 1080 (a window panning across the upscaled "
                "`chelsea.png`); median time and peak memory (GNU time) of each.",
    "peers": "none: our tools on one thread against themselves on every core",
    "takes": "about 3 minutes with `--runs 7` (estimated from the times in its table)",
    "run": ["bench/threads --runs 7"],
}

CHELSEA = os.path.join(bk.SKIMAGE_DATA, "chelsea.png")
# A Debian wallpaper (package ukui-wallpapers) of 3840 x 2400, when present:
# compressed to 65 levels a channel it keeps 61,666 colours, just under the
# colour table's limit.
WALLPAPER = os.path.join(bk.BACKGROUNDS, "the-mouse.jpg")


def measure(runner, cmd, threads, cwd):
    """Seconds and peak RSS (MB) of one run; threads None = the default."""
    r = runner.pipeline([cmd], cwd=cwd, env={"KX_THREADS": threads})
    if not r.ok:
        sys.exit(f"{' '.join(cmd)} ended with {r.cell()}")
    return r.seconds, r.peak_mb


def make_inputs(out):
    """(label, stem, extra kxreduce options) of every 9 MP picture."""
    inputs = []
    stem = os.path.join(out, "chelsea9mp")
    if not os.path.exists(stem + ".pic"):
        Image.open(CHELSEA).convert("RGB").resize((3840, 2400), Image.BICUBIC).save(stem + ".png")
        subprocess.run([bk.KXCONV, stem + ".png", stem + ".pic"], check=True)
    inputs.append(("chelsea.png upscaled to 3840x2400", stem, []))
    if os.path.exists(WALLPAPER):
        stem = os.path.join(out, "mouse9mp")
        if not os.path.exists(stem + ".pic"):
            Image.open(WALLPAPER).convert("RGB").save(stem + ".png")
            subprocess.run([bk.KXCONV, stem + ".png", stem + ".pic"], check=True)
        inputs.append(("the-mouse.jpg 3840x2400, -z 64", stem, ["-z", "64"]))
    return inputs


def make_sequence(out):
    """16 frames of 1920 x 1080: chelsea.png upscaled, a window panning across it."""
    stem = os.path.join(out, "pan")
    if not os.path.exists(stem + ".16.pic"):
        big = Image.open(CHELSEA).convert("RGB").resize((2400, 1596), Image.BICUBIC)
        for k in range(1, 17):
            x, y = 30 * (k - 1), 20 * (k - 1)
            big.crop((x, y, x + 1920, y + 1080)).save(stem + ".png")
            subprocess.run([bk.KXCONV, stem + ".png", f"{stem}.{k}.pic"], check=True)
    return stem


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--out", default=os.path.join(bk.BUILD, "bench-threads"))
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("threads", args.markdown or None)
    bk.install(["python3-skimage"], "bench/threads")
    os.makedirs(args.out, exist_ok=True)
    runner = bk.Runner(args.out)
    cores = len(os.sched_getaffinity(0))
    load = os.getloadavg()[0]
    report = bk.Report("threads")
    report.line(f"Machine: {cores} cores in the affinity mask; load average {load:.1f} at the "
                f"start; median of {args.runs} runs, whole process, alternating the two "
                "settings.\n")
    kx, kq, conv = bk.KXREDUCE, bk.KXQUANT, bk.KXCONV
    runs = []
    for label, stem, extra in make_inputs(args.out):
        runs += [
            (label, [kx] + extra + [stem, "out"]),
            (label, [kx, "-a"] + extra + [stem, "out"]),
            (label, [kq, "-f", "-q", "-o", "out.png", stem + ".png"]),
            (label, [kq, "-f", "-q", "-a", "-o", "out.png", stem + ".png"]),
            (label, [conv, stem + ".png", "out.pic"]),
        ]
    pan = make_sequence(args.out)
    label = "16 frames of 1920x1080 (chelsea.png panned)"
    runs += [
        (label, [kx, "-s", "1", "16", "1", pan, "out"]),
        (label, [kx, "-a", "-s", "1", "16", "1", pan, "out"]),
        (label, [kq, "-f", "-q", "-o", "out.gif"] + [f"{pan}.{k}.pic" for k in range(1, 17)]),
    ]
    rows = []
    for label, cmd in runs:
        times = {1: [], None: []}
        peaks = {1: 0.0, None: 0.0}
        for _ in range(args.runs):
            for threads in (1, None):  # alternating evens out the machine's other load
                t, m = measure(runner, cmd, threads, args.out)
                times[threads].append(t)
                peaks[threads] = max(peaks[threads], m)
        one, many = statistics.median(times[1]), statistics.median(times[None])
        shown = " ".join(os.path.relpath(c, bk.ROOT) if os.path.isabs(c) else c for c in cmd)
        if len(cmd) > 12:  # the sixteen frames of kxquant
            shown = " ".join(cmd[:5] + [os.path.relpath(pan, bk.ROOT) + ".{1..16}.pic"])
            shown = shown.replace(bk.BUILD + "/", "build/")
        rows.append([label, f"`{shown}`", f"{one:.3f}", f"{many:.3f}", f"{one / many:.2f}",
                     f"{peaks[1]:.0f}", f"{peaks[None]:.0f}", f"{peaks[None] / peaks[1]:.2f}"])
    report.table(["picture", "command", "KX_THREADS=1 s", "default s", "speed-up", "peak MB 1",
                  "peak MB default", "memory ratio"], rows)
    report.save()


if __name__ == "__main__":
    main()
