"""kxquant's PNG files against optipng -o2, and their time; see bench/png_size."""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KXQUANT = os.path.join(ROOT, "build", "kxquant")
WALLPAPERS = "/usr/share/backgrounds"
FONTS = "/usr/share/fonts/truetype/dejavu/"


def words(rnd, n):
    pool = "the quick brown fox jumps over lazy dog palette colour reduce median cut pixel".split()
    return " ".join(rnd.choice(pool) for _ in range(n))


def web_page(path, photo, scale=1):
    """Cards with soft shadows, a photograph and text on a light page."""
    rnd = random.Random(7)
    w, h = 1280 * scale, 800 * scale
    font = lambda size: ImageFont.truetype(FONTS + "DejaVuSans.ttf", size * scale)
    im = Image.new("RGB", (w, h), (243, 244, 246))
    d = ImageDraw.Draw(im)
    d.rectangle([0, 0, w, 64 * scale], fill=(255, 255, 255))
    d.text((24 * scale, 18 * scale), "kxreduce  Docs  Blog  About", font=font(22), fill=(30, 41, 59))
    thumb = Image.open(photo).convert("RGB").resize((340 * scale, 180 * scale))
    for i in range(3):
        x, y = (40 + i * 410) * scale, 110 * scale
        shadow = Image.new("L", (w, h), 0)
        ImageDraw.Draw(shadow).rounded_rectangle(
            [x + 4 * scale, y + 8 * scale, x + 380 * scale, y + 600 * scale], 14 * scale, fill=90)
        shadow = shadow.filter(ImageFilter.GaussianBlur(14 * scale))
        im = Image.composite(Image.new("RGB", (w, h), (40, 40, 60)), im, shadow)
        d = ImageDraw.Draw(im)
        d.rounded_rectangle([x, y, x + 376 * scale, y + 592 * scale], 14 * scale, fill=(255, 255, 255))
        im.paste(thumb, (x + 18 * scale, y + 18 * scale))
        d.text((x + 18 * scale, y + 215 * scale), words(rnd, 3).title(), font=font(24),
               fill=(17, 24, 39))
        for line in range(9):
            d.text((x + 18 * scale, y + (260 + 28 * line) * scale), words(rnd, 5), font=font(16),
                   fill=(75, 85, 99))
        d.rounded_rectangle([x + 18 * scale, y + 530 * scale, x + 160 * scale, y + 572 * scale],
                            8 * scale, fill=(37, 99, 235))
        d.text((x + 40 * scale, y + 540 * scale), "Read more", font=font(17), fill=(255, 255, 255))
    im.save(path)


def code_editor(path):
    """A dark editor: a file list, line numbers and coloured code."""
    rnd = random.Random(8)
    mono = ImageFont.truetype(FONTS + "DejaVuSansMono.ttf", 14)
    sans = ImageFont.truetype(FONTS + "DejaVuSans.ttf", 14)
    im = Image.new("RGB", (1280, 800), (30, 30, 30))
    d = ImageDraw.Draw(im)
    d.rectangle([0, 0, 240, 800], fill=(37, 37, 38))
    d.rectangle([0, 0, 1280, 34], fill=(50, 50, 51))
    d.rectangle([0, 167, 240, 189], fill=(55, 55, 61))
    for i in range(24):
        d.text((20, 50 + 24 * i), words(rnd, 1) + ".cpp", font=sans, fill=(204, 204, 204))
    colours = [(86, 156, 214), (206, 145, 120), (78, 201, 176), (220, 220, 170), (106, 153, 85)]
    for line in range(38):
        y = 44 + 20 * line
        d.text((252, y), "%4d" % (line + 1), font=mono, fill=(133, 133, 133))
        x = 300 + 16 * rnd.randint(0, 4)
        for _ in range(rnd.randint(0, 7)):
            word = words(rnd, 1)
            d.text((x, y), word, font=mono, fill=rnd.choice(colours))
            x += 9 * (len(word) + 1)
    im.save(path)


def dashboard(path):
    """Figures, an anti-aliased area chart, bars and a pie."""
    rnd = random.Random(9)
    font = lambda size: ImageFont.truetype(FONTS + "DejaVuSans.ttf", size)
    im = Image.new("RGB", (1280, 800), (248, 250, 252))
    d = ImageDraw.Draw(im)
    d.rectangle([0, 0, 220, 800], fill=(15, 23, 42))
    for i in range(8):
        d.text((24, 80 + 40 * i), words(rnd, 1).title(), font=font(16), fill=(148, 163, 184))
    for i in range(4):
        x = 250 + 255 * i
        d.rounded_rectangle([x, 30, x + 235, 140], 10, fill=(255, 255, 255), outline=(226, 232, 240))
        d.text((x + 16, 46), words(rnd, 2), font=font(14), fill=(100, 116, 139))
        d.text((x + 16, 76), "%d,%03d" % (rnd.randint(1, 99), rnd.randint(0, 999)), font=font(32),
               fill=(15, 23, 42))
    chart = Image.new("RGB", (1320, 760), (255, 255, 255))
    cd = ImageDraw.Draw(chart)
    for s, colour in enumerate([(59, 130, 246), (16, 185, 129), (244, 63, 94)]):
        points, v = [], 400
        for i in range(60):
            v += rnd.randint(-40, 40)
            points.append((40 + i * 21, 700 - max(60, min(660, v - 90 * s))))
        light = tuple(255 - (255 - k) // 6 for k in colour)
        cd.polygon(points + [(points[-1][0], 700), (points[0][0], 700)], fill=light)
        cd.line(points, fill=colour, width=6)
    im.paste(chart.resize((660, 380), Image.LANCZOS), (250, 170))
    for i in range(12):
        top = 550 - rnd.randint(30, 200)
        d.rectangle([940 + i * 26, top, 958 + i * 26, 550], fill=(99, 102, 241))
    pie = Image.new("RGB", (600, 600), (248, 250, 252))
    pd = ImageDraw.Draw(pie)
    start = 0
    for colour in [(59, 130, 246), (16, 185, 129), (245, 158, 11), (244, 63, 94)]:
        end = start + rnd.randint(50, 120)
        pd.pieslice([20, 20, 580, 580], start, end, fill=colour)
        start = end
    pd.pieslice([20, 20, 580, 580], start, 360, fill=(203, 213, 225))
    im.paste(pie.resize((200, 200), Image.LANCZOS), (300, 580))
    for line in range(6):
        d.text((560, 590 + 30 * line), words(rnd, 6), font=font(15), fill=(51, 65, 85))
    im.save(path)


def make_pictures(out, quick):
    """(label, path) of every picture, made once in out."""
    pictures = []

    def made(name, label, make):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            make(path)
        pictures.append((label, path))

    sample = os.path.join(ROOT, "samples", "astronaut.png")
    crop = lambda src, box: lambda p: Image.open(os.path.join(WALLPAPERS, src)).crop(box).save(p)
    made("mouse-crop.png", "photo crop 1024x768 (the-mouse)", crop("the-mouse.jpg",
                                                                   (1200, 800, 2224, 1568)))
    made("calla-crop.png", "photo crop 1024x768 (calla)", crop("calla.png", (1500, 900, 2524, 1668)))
    made("web.png", "web page 1280x800", lambda p: web_page(p, sample))
    made("editor.png", "code editor 1280x800", code_editor)
    made("dashboard.png", "dashboard 1280x800", dashboard)
    made("web2x.png", "web page 2560x1600", lambda p: web_page(p, sample, 2))
    made("goldfish.png", "wallpaper 9 MP (goldfish)",
         lambda p: shutil.copy(os.path.join(WALLPAPERS, "goldfish.png"), p))
    if not quick:
        made("rhythm.jpg", "wallpaper 9 MP (rhythm)",
             lambda p: shutil.copy(os.path.join(WALLPAPERS, "rhythm.jpg"), p))
        made("big20.png", "photo 20 MP (2004default upscaled)",
             lambda p: Image.open(os.path.join(WALLPAPERS, "2004default.jpg")).resize(
                 (5760, 3600), Image.BICUBIC).save(p))
    return pictures


def timed(cmd, threads):
    """Wall and CPU (user + system) seconds of one run."""
    env = dict(os.environ, KX_THREADS=str(threads))
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(cmd))
    return time.perf_counter() - start, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default="/tmp/kx-png-size")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    pictures = make_pictures(args.out, args.quick)
    print("kxquant's PNG output, and what optipng -o2 finds in it; times are whole-process")
    print("seconds, median of %d runs: wall with KX_THREADS=1 and 2, and the CPU time" % args.runs)
    print("(user + system) of the run with 2; `.icn` is the same reduction written as")
    print("kxreduce's files, without any PNG.\n")
    print("| picture | colours | options | bytes | optipng -o2 finds | --best bytes | --best |"
          " s, 1 thread | s, 2 | CPU s | --best s, 1 | --best s, 2 | --best CPU s | .icn s, 2 |")
    print("|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    found_all = []
    for label, path in pictures:
        for colours in ("256", "64"):
            for extra in ([], ["-a"]):
                if extra and "MP" in label:
                    continue  # dithered wallpapers: slow for optipng, and like the crops
                out = os.path.join(args.out, "out.png")
                base = [KXQUANT, "-f", "-q", "-n", colours] + extra
                sizes, wall, cpu = {}, {}, {}
                for best in (False, True):
                    cmd = base + (["--best"] if best else []) + ["-o", out, path]
                    files = {}
                    for threads in (1, 2):
                        runs = [timed(cmd, threads) for _ in range(args.runs)]
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
                    timed(base + ["-o", icn, path], 2)[0] for _ in range(args.runs))
                opt = os.path.join(args.out, "opt.png")
                if os.path.exists(opt):
                    os.remove(opt)
                subprocess.run(["optipng", "-quiet", "-o2", "-out", opt, out + ".default.png"],
                               check=True)
                found = 100.0 * (sizes[False] - os.path.getsize(opt)) / sizes[False]
                if not extra:
                    found_all.append(found)
                print(f"| {label} | {colours} | {' '.join(['default'] + extra)} | {sizes[False]} |"
                      f" {found:.2f} % | {sizes[True]} |"
                      f" {100.0 * (sizes[True] - sizes[False]) / sizes[False]:+.1f} % |"
                      f" {wall[False, 1]:.2f} | {wall[False, 2]:.2f} | {cpu[False, 2]:.2f} |"
                      f" {wall[True, 1]:.2f} | {wall[True, 2]:.2f} | {cpu[True, 2]:.2f} |"
                      f" {icn_time:.2f} |")
                sys.stdout.flush()
    print("\nWithout dithering, optipng -o2 finds %.2f %% on average, at most %.2f %%." %
          (statistics.mean(found_all), max(found_all)))


if __name__ == "__main__":
    main()
