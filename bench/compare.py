"""Runs kxreduce and its peers side by side; see bench/compare."""

import argparse
import glob
import math
import os
import statistics
import struct
import subprocess
import sys
import time

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
TIMEOUT = 600  # seconds for any single command

PILLOW_SCRIPT = (
    "import sys\n"
    "from PIL import Image\n"
    "im = Image.open(sys.argv[1]).convert('RGB')\n"
    "q = im.quantize(256, method=Image.MEDIANCUT)\n"
    "q.convert('RGB').save(sys.argv[2])\n"
)


RSS_FILE = "/tmp/kxcompare-rss.txt"
LAST_CPU = [0.0]  # user + system seconds of the last run_measured


def run_measured(cmd, stdout=None, threads=None):
    """Runs one process; returns (seconds, peak RSS in MB, exit status).
    threads sets KX_THREADS for kxreduce and kxquant.

    GNU time reports the peak RSS: a child forked from this (large) Python
    process would otherwise inherit its resident size in ru_maxrss."""
    cmd = ["/usr/bin/time", "-f", "%M %U %S", "-o", RSS_FILE] + cmd
    env = dict(os.environ)
    if threads is not None:
        env["KX_THREADS"] = str(threads)
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=stdout or subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=env)
    deadline = start + TIMEOUT
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            proc.kill()
            pid, status, usage = os.wait4(proc.pid, 0)
            return None, None, "timeout"
        time.sleep(0.002)
    elapsed = time.perf_counter() - start
    del usage
    try:
        with open(RSS_FILE) as f:
            rss, user, system = f.read().strip().splitlines()[-1].split()
        rss_kb = float(rss)
        LAST_CPU[0] = float(user) + float(system)
    except (OSError, ValueError, IndexError):
        rss_kb = float("nan")
        LAST_CPU[0] = float("nan")
    return elapsed, rss_kb / 1024.0, os.waitstatus_to_exitcode(status)


def run_pipeline(steps):
    """A tool made of several processes run one after the other (netpbm)."""
    total, peak, code = 0.0, 0.0, 0
    for cmd, out in steps:
        with open(out, "wb") if out else open(os.devnull, "wb") as f:
            t, m, code = run_measured(cmd, stdout=f)
        if t is None:
            return None, None, "timeout"
        total += t
        peak = max(peak, m)
    return total, peak, code


def psnr(original, result):
    diff = original.astype(np.float64) - result.astype(np.float64)
    mse = float(np.mean(diff * diff))
    return float("inf") if mse == 0 else 10 * math.log10(255.0 * 255.0 / mse)


def read_icn(stem):
    """The reduced picture of kxreduce: .icn indices through the .clm palette."""
    icn = open(stem + ".icn", "rb").read()
    clm = open(stem + ".clm", "rb").read()
    w, h = struct.unpack(">HH", icn[48:52])
    idx = np.frombuffer(icn, dtype=np.uint8, count=w * h, offset=68).reshape(h, w)
    count, bits = struct.unpack(">hh", clm[8:12])
    pal = np.frombuffer(clm, dtype=">u2", count=3 * count, offset=16).reshape(count, 3)
    if bits != 8:
        pal = pal * 255 // ((1 << bits) - 1)
    return pal.astype(np.uint8)[idx]


def load_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"))


def photo_sources():
    data = "/usr/lib/python3/dist-packages/skimage/data"
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
            subprocess.run([os.path.join(BUILD, "kxconv"), name + ".png", name + ".pic"], check=True)
    return inputs


def thread_counts():
    """Our tools' thread counts: one, and their default (every core they may run on)."""
    cores = len(os.sched_getaffinity(0))
    return [1] if cores == 1 else [1, cores]


def tools(name, work):
    """(tool, threads, run, result) of every tool; the peers run single-threaded."""
    kx = os.path.join(BUILD, "kxreduce")
    kq = os.path.join(BUILD, "kxquant")
    r = os.path.join(work, "r")
    runs = []
    for t in thread_counts():
        runs += [
            ("kxreduce -n 256", t,
             lambda t=t: run_measured([kx, "-n", "256", name, r + "kx"], threads=t),
             lambda: read_icn(r + "kx")),
            ("kxreduce -a -n 256", t,
             lambda t=t: run_measured([kx, "-a", "-n", "256", name, r + "kxa"], threads=t),
             lambda: read_icn(r + "kxa")),
            ("kxquant --no-dither -n 256 (PNG in, PNG out)", t,
             lambda t=t: run_measured([kq, "-f", "-q", "--no-dither", "-n", "256", "-o",
                                       r + "kq.png", name + ".png"], threads=t),
             lambda: load_rgb(r + "kq.png")),
            ("kxquant -a -n 256 (PNG in, PNG out)", t,
             lambda t=t: run_measured([kq, "-f", "-q", "-a", "-n", "256", "-o", r + "kqa.png",
                                       name + ".png"], threads=t),
             lambda: load_rgb(r + "kqa.png")),
        ]
    return runs + [(tool, 1, run, result) for tool, run, result in [
        ("netpbm pnmcolormap + pnmremap -nofs",
         lambda: run_pipeline([(["pnmcolormap", "256", name + ".ppm"], r + "map.ppm"),
                               (["pnmremap", "-nofs", "-mapfile=" + r + "map.ppm", name + ".ppm"],
                                r + "nofs.ppm")]),
         lambda: load_rgb(r + "nofs.ppm")),
        ("netpbm pnmcolormap + pnmremap -fs",
         lambda: run_pipeline([(["pnmcolormap", "256", name + ".ppm"], r + "map.ppm"),
                               (["pnmremap", "-fs", "-mapfile=" + r + "map.ppm", name + ".ppm"],
                                r + "fs.ppm")]),
         lambda: load_rgb(r + "fs.ppm")),
        ("ImageMagick -dither None -colors 256",
         lambda: run_measured(["convert", name + ".ppm", "-dither", "None", "-colors", "256",
                               r + "im.ppm"]),
         lambda: load_rgb(r + "im.ppm")),
        ("ImageMagick -dither FloydSteinberg -colors 256",
         lambda: run_measured(["convert", name + ".ppm", "-dither", "FloydSteinberg", "-colors",
                               "256", r + "imfs.ppm"]),
         lambda: load_rgb(r + "imfs.ppm")),
        ("pngquant --nofs 256",
         lambda: run_measured(["pngquant", "--nofs", "--force", "--output", r + "pq.png", "256",
                               name + ".png"]),
         lambda: load_rgb(r + "pq.png")),
        ("pngquant 256",
         lambda: run_measured(["pngquant", "--force", "--output", r + "pqfs.png", "256",
                               name + ".png"]),
         lambda: load_rgb(r + "pqfs.png")),
        ("Pillow quantize(256, MEDIANCUT)",
         lambda: run_measured(["/usr/bin/python3", "-c", PILLOW_SCRIPT, name + ".ppm",
                               r + "pil.ppm"]),
         lambda: load_rgb(r + "pil.ppm")),
    ]]


WALLPAPERS = "/usr/share/backgrounds"  # Debian package ukui-wallpapers


def wallpapers():
    """The wallpapers of ukui-wallpapers (3640 to 3840 x 2400), and only those:
    other packages put theirs in the same folder."""
    listed = subprocess.run(["dpkg", "-L", "ukui-wallpapers"], capture_output=True, text=True)
    found = sorted(f for f in listed.stdout.split()
                   if f.startswith(WALLPAPERS + "/") and f.endswith((".jpg", ".png")))
    return [f for f in found if Image.open(f).size[1] >= 2400]


def median_run(run, runs):
    """Median wall time, median CPU time and exit status of `runs` runs (None on
    timeout). On a busy machine the CPU time (user + system) says more."""
    times, cpu, code = [], [], 0
    for _ in range(runs):
        t, _, code = run()
        if t is None:
            return None, None, "timeout"
        times.append(t)
        cpu.append(LAST_CPU[0])
    return statistics.median(times), statistics.median(cpu), code


def compare_wallpapers(out, runs):
    """kxquant (JPEG or PNG in, indexed PNG out) against pngquant --nofs 256 on the
    same pixels (the PNG itself, or a PNG of the JPEG's pixels) and kxreduce (on
    the picture file), per wallpaper."""
    kq = os.path.join(BUILD, "kxquant")
    kx = os.path.join(BUILD, "kxreduce")
    found = wallpapers()
    if not found:
        print(f"(no wallpapers in {WALLPAPERS}: install ukui-wallpapers)\n")
        return
    print("### Wallpapers (ukui-wallpapers), whole process, one thread each, median of %d runs\n"
          % runs)
    print("| picture | kxquant s (CPU s) | PSNR | levels | pngquant --nofs s (CPU s) | PSNR "
          "| kxreduce s | kxreduce | pngquant / kxquant (CPU) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    ratios, cpu_ratios = [], []
    for src in found:
        base = os.path.splitext(os.path.basename(src))[0]
        stem = os.path.join(out, "wp-" + base)
        pq_in = src if src.endswith(".png") else stem + ".png"
        if not os.path.exists(pq_in):
            Image.open(src).convert("RGB").save(pq_in)
        if not os.path.exists(stem + ".pic"):
            subprocess.run([os.path.join(BUILD, "kxconv"), src, stem + ".pic"], check=True)
        original = load_rgb(src)
        kq_out, pq_out, kx_out = stem + "-kq.png", stem + "-pq.png", stem + "-kx"
        # Without dithering, as pngquant --nofs.
        note = subprocess.run([kq, "-f", "--no-dither", "-o", kq_out, src], capture_output=True,
                              text=True)
        levels = note.stderr.split("compressed to ")[1].split()[0] \
            if "compressed to" in note.stderr else "256"
        kq_t, kq_cpu, kq_code = median_run(
            lambda: run_measured([kq, "-f", "-q", "--no-dither", "-o", kq_out, src], threads=1),
            runs)
        pq_t, pq_cpu, pq_code = median_run(lambda: run_measured(
            ["pngquant", "--nofs", "--force", "--output", pq_out, "256", pq_in]), runs)
        kx_t, _, kx_code = median_run(
            lambda: run_measured([kx, "-n", "256", stem, kx_out], threads=1), runs)
        kq_q = f"{psnr(original, load_rgb(kq_out)):.2f}" if kq_code == 0 else f"status {kq_code}"
        pq_q = f"{psnr(original, load_rgb(pq_out)):.2f}" if pq_code == 0 else f"status {pq_code}"
        kx_q = f"{psnr(original, read_icn(kx_out)):.2f} dB" if kx_code == 0 \
            else f"status {kx_code}"
        ratios.append(pq_t / kq_t)
        cpu_ratios.append(pq_cpu / kq_cpu)
        print(f"| {os.path.basename(src)} | {kq_t:.3f} ({kq_cpu:.2f}) | {kq_q} | {levels} "
              f"| {pq_t:.3f} ({pq_cpu:.2f}) | {pq_q} | {kx_t:.3f} | {kx_q} "
              f"| {ratios[-1]:.2f} ({cpu_ratios[-1]:.2f}) |")
        sys.stdout.flush()
    print(f"\npngquant / kxquant, median over the wallpapers: {statistics.median(ratios):.2f} "
          f"wall time, {statistics.median(cpu_ratios):.2f} CPU time\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--sizes", default="1,4,16")
    ap.add_argument("--out", default=os.path.join(ROOT, "build", "compare"))
    ap.add_argument("--only-wallpapers", action="store_true")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    sizes = [int(s) for s in args.sizes.split(",") if s]
    env_threads = {"OMP_NUM_THREADS": "1", "MAGICK_THREAD_LIMIT": "1"}
    os.environ.update(env_threads)  # the peers single-threaded

    counts = thread_counts()
    print(f"Machine: {len(os.sched_getaffinity(0))} cores; kxreduce and kxquant with "
          f"{' and '.join(map(str, counts))} thread(s), the peers single-threaded; "
          f"median of {args.runs} runs")
    print("Wall time is the whole process (reading, reducing, writing); memory is peak RSS.\n")
    compare_wallpapers(args.out, max(1, min(args.runs, 3)))
    if args.only_wallpapers:
        return
    for label, name in make_inputs(args.out, sizes):
        original = load_rgb(name + ".png")
        runs = args.runs if original.size < 3 * 8_000_000 else max(3, args.runs // 2)
        print(f"### {label}\n")
        print("| tool | threads | median s | peak MB | PSNR dB | time / kxreduce |")
        print("|---|---:|---:|---:|---:|---:|")
        base = None
        # The noise picture is kxreduce's worst case (every pixel a new colour);
        # the peers' times on it say nothing about photographs and netpbm
        # alone takes minutes, so it is run for kxreduce only.
        candidates = tools(name, args.out)
        if "noise" in label:
            candidates = [t for t in candidates if t[0].startswith("kxreduce")]
        for tool, threads, run, result in candidates:
            times, mem, code = [], 0.0, 0
            for _ in range(runs):
                t, m, code = run()
                if t is None:
                    break
                times.append(t)
                mem = max(mem, m)
            if not times:
                print(f"| {tool} | {threads} | timeout | | | |")
                continue
            med = statistics.median(times)
            if base is None:
                base = med
            try:
                quality = f"{psnr(original, result()):.2f}" if code == 0 else f"status {code}"
            except (OSError, ValueError):
                quality = f"status {code}"
            print(f"| {tool} | {threads} | {med:.3f} | {mem:.0f} | {quality} | {med / base:.2f} |")
        print()
        sys.stdout.flush()


if __name__ == "__main__":
    main()
