"""kxquant's PNG files against optipng -o2, and their time; see bench/png_size."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "PNG size",
    "measures": "The size of kxquant's PNG files against what `optipng -o2` still finds in "
                "them, and their time: two 1024 x 768 photograph crops and two 9 MP wallpapers "
                "of ukui-wallpapers, one of them upscaled to 20 MP, and three user-interface "
                "pictures drawn by benchkit (a web page with soft card shadows, a dark code "
                "editor, a dashboard with charts), the web page also at 2560 x 1600; at 256 "
                "and 64 colours, without and with `-a`, kxquant's default and `--best`, with "
                "one thread and with two (the bytes must not depend on it), and the same "
                "reduction written as a `.icn` (what the PNG adds).",
    "peers": "optipng -o2 (what a PNG optimizer still finds)",
    "takes": "about 15 minutes with `--runs 3` (`--quick`: a few; estimated)",
    "run": ["bench/png_size --runs 3"],
}

WALLPAPERS = bk.BACKGROUNDS  # ukui-wallpapers' pictures


def make_pictures(out, quick):
    """(label, path) of every picture, made once in out."""
    pictures = []

    def made(name, label, make):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            make(path)
        pictures.append((label, path))

    sample = Image.open(os.path.join(bk.ROOT, "samples", "astronaut.png")).convert("RGB")
    crop = lambda src, box: lambda p: Image.open(os.path.join(WALLPAPERS, src)).crop(box).save(p)
    made("mouse-crop.png", "photo crop 1024x768 (the-mouse)", crop("the-mouse.jpg",
                                                                   (1200, 800, 2224, 1568)))
    made("calla-crop.png", "photo crop 1024x768 (calla)", crop("calla.png", (1500, 900, 2524, 1668)))
    made("screen-web.png", "web page 1280x800", lambda p: bk.web_page(sample).save(p))
    made("screen-code.png", "code editor 1280x800", lambda p: bk.code_editor().save(p))
    made("screen-dashboard.png", "dashboard 1280x800", lambda p: bk.dashboard().save(p))
    made("screen-web2x.png", "web page 2560x1600", lambda p: bk.web_page(sample, 2).save(p))
    made("goldfish.png", "wallpaper 9 MP (goldfish)",
         lambda p: shutil.copy(os.path.join(WALLPAPERS, "goldfish.png"), p))
    if not quick:
        made("rhythm.jpg", "wallpaper 9 MP (rhythm)",
             lambda p: shutil.copy(os.path.join(WALLPAPERS, "rhythm.jpg"), p))
        made("big20.png", "photo 20 MP (2004default upscaled)",
             lambda p: Image.open(os.path.join(WALLPAPERS, "2004default.jpg")).resize(
                 (5760, 3600), Image.BICUBIC).save(p))
    return pictures


def timed(runner, cmd, threads):
    """Wall and CPU (user + system) seconds of one run."""
    r = runner.pipeline([cmd], env={"KX_THREADS": threads})
    if not r.ok:
        sys.exit("failed: " + " ".join(cmd))
    return r.seconds, r.cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default="/tmp/kx-png-size")
    parser.add_argument("--quick", action="store_true")
    bk.markdown_option(parser)
    args = parser.parse_args()
    if args.markdown is not None:
        return bk.markdown("png_size", args.markdown or None)
    bk.install(["optipng", "ukui-wallpapers"], "bench/png_size")
    os.makedirs(args.out, exist_ok=True)
    runner = bk.Runner(args.out)
    pictures = make_pictures(args.out, args.quick)
    # A smoke test keeps its results in the work folder, not beside the scripts.
    report = bk.Report("png_size", "",
                       os.path.join(args.out, "results.json") if args.quick else None)
    report.line("kxquant's PNG output, and what optipng -o2 finds in it; times are whole-process")
    report.line("seconds, median of %d runs: wall with KX_THREADS=1 and 2, and the CPU time"
                % args.runs)
    report.line("(user + system) of the run with 2; `.icn` is the same reduction written as")
    report.line("kxreduce's files, without any PNG.\n")
    found_all, rows = [], []
    for label, path in pictures:
        for colours in ("256", "64"):
            for extra in ([], ["-a"]):
                if extra and "MP" in label:
                    continue  # dithered wallpapers: slow for optipng, and like the crops
                out = os.path.join(args.out, "out.png")
                base = [bk.KXQUANT, "-f", "-q", "-n", colours] + extra
                sizes, wall, cpu = {}, {}, {}
                for best in (False, True):
                    cmd = base + (["--best"] if best else []) + ["-o", out, path]
                    files = {}
                    for threads in (1, 2):
                        runs = [timed(runner, cmd, threads) for _ in range(args.runs)]
                        wall[best, threads] = statistics.median(r[0] for r in runs)
                        cpu[best, threads] = statistics.median(r[1] for r in runs)
                        files[threads] = open(out, "rb").read()
                    if files[1] != files[2]:
                        sys.exit("different bytes with 1 and 2 threads: " + " ".join(cmd))
                    sizes[best] = len(files[1])
                    if not best:
                        shutil.copy(out, out + ".default.png")
                icn = os.path.join(args.out, "out.icn")
                icn_time = statistics.median(
                    timed(runner, base + ["-o", icn, path], 2)[0] for _ in range(args.runs))
                opt = os.path.join(args.out, "opt.png")
                if os.path.exists(opt):
                    os.remove(opt)
                subprocess.run(["optipng", "-quiet", "-o2", "-out", opt, out + ".default.png"],
                               check=True)
                found = 100.0 * (sizes[False] - os.path.getsize(opt)) / sizes[False]
                if not extra:
                    found_all.append(found)
                rows.append([label, colours, " ".join(["default"] + extra), sizes[False],
                             f"{found:.2f} %", sizes[True],
                             f"{100.0 * (sizes[True] - sizes[False]) / sizes[False]:+.1f} %",
                             f"{wall[False, 1]:.2f}", f"{wall[False, 2]:.2f}",
                             f"{cpu[False, 2]:.2f}", f"{wall[True, 1]:.2f}",
                             f"{wall[True, 2]:.2f}", f"{cpu[True, 2]:.2f}", f"{icn_time:.2f}"])
    report.table(["picture", "colours", "options", "bytes", "optipng -o2 finds", "--best bytes",
                  "--best", "s, 1 thread", "s, 2", "CPU s", "--best s, 1", "--best s, 2",
                  "--best CPU s", ".icn s, 2"], rows, right=[1] + list(range(3, 14)))
    report.line("Without dithering, optipng -o2 finds %.2f %% on average, at most %.2f %%." %
                (statistics.mean(found_all), max(found_all)))
    report.save()


if __name__ == "__main__":
    main()
