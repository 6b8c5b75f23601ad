"""Photographs of many kinds: kxquant against pngquant by look and bytes, per
picture and for the worst picture; see bench/photos."""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import subprocess
import threading

from PIL import Image, ImageDraw, ImageFilter

import benchkit as bk

ABOUT = {
    "title": "Photographs of many kinds",
    "measures": "Eighteen 1024 x 768 crops of Debian's wallpaper photographs "
                "(`lomiri-wallpapers-16.04`, `lomiri-wallpapers-20.04`, `mate-backgrounds`), "
                "chosen by kind, in a tuning set the dithering was tuned on and an aside set it "
                "never was, at 256 and 64 colours: kxquant's default, `--dither 2`, "
                "`--dither 3`, `--cut-by-error`, `--fit-worst` and both of these, one process "
                "per picture. Per picture: "
                "butteraugli and bytes of every tool, kxquant's default against pngquant's, and "
                "the best of kxquant's rows whose file is no larger than pngquant's against "
                "pngquant (the target: at most 1); per set: the means and the worst picture; "
                "the levels step by step; then CPU time side by side on lomiri's 9 MP "
                "photographs. The peers' results are kept in the work folder from run to run.",
    "peers": "pngquant (its default and `--nofs`)",
    "takes": "about 10 minutes the first time with `--jobs 2`, less once pngquant's results "
             "are kept; the speed table a few minutes (estimated)",
    "run": ["bench/photos --no-speed --jobs 3", "bench/photos --speed-only --runs 3"],
}

# ---- The tools: change these lines when kxquant gains options -------------------------
# (label, extra arguments). The first row is kxquant's default; the rows of
# KXQUANT_LEVELS are the settings that spend more bytes for more look, in
# order; --cut-by-error and --fit-worst choose another palette; "-a" rows are the design's
# error diffusion over every pixel. "Best kxquant at pngquant's bytes" takes
# any of these rows.
KXQUANT_DEFAULT = ("kxquant", [])
KXQUANT_LEVELS = [
    ("--dither 2", ["--dither", "2"]),
    ("--dither 3", ["--dither", "3"]),
]
KXQUANT_OTHERS = [
    ("--cut-by-error", ["--cut-by-error"]),
    ("--fit-worst", ["--fit-worst"]),
    ("--fit-worst --cut-by-error", ["--fit-worst", "--cut-by-error"]),
]
PNGQUANT_ROWS = [
    ("pngquant", []),
    ("pngquant --nofs", ["--nofs"]),
]
COLOURS = [256, 64]
MATERIAL = "photos-v1"  # change when the pictures change
PARTS = ["", "speed"]  # the parts of the kept results: the looks, the speed table
PACKAGES = ["pngquant", "butteraugli", "fonts-dejavu-core", "lomiri-wallpapers-16.04",
            "lomiri-wallpapers-20.04", "mate-backgrounds"]
# (name, kind, set, file under /usr/share/backgrounds, where the 1024 x 768 crop
# sits in the photograph, scaled to 2048 pixels wide when wider, as fractions of
# the room left and right, above and below). "tuning": the dithering was tuned
# on it; "aside": it never was.
PHOTOS = [
    ("leaves", "foliage against the sky", "tuning", "Dragonfly_by_Bolly.jpg", (0.5, 0.3)),
    ("grass", "foliage", "tuning", "mate/nature/GreenMeadow.jpg", (0.5, 0.5)),
    ("raindrops", "leaf, water drops", "tuning", "mate/nature/RainDrops.jpg", (0.5, 0.5)),
    ("drop", "water", "tuning", "mate/nature/Aqua.jpg", (0.6, 0.5)),
    ("dune", "grass, sea, sky", "tuning", "mate/nature/Dune.jpg", (0.5, 0.3)),
    ("storm", "sky", "tuning", "mate/nature/Storm.jpg", (0.5, 0.4)),
    ("elephants", "painted", "tuning", "mate/abstract/Elephants.jpg", (0.5, 0.5)),
    ("milkyway", "night sky", "tuning", "Infinite-Sea_by_Aury88.jpg", (0.5, 0.45)),
    ("dog", "fur, white boards", "tuning", "friends_by_Aitzol_Berasategi.jpg", (0.5, 0.2)),
    ("wood", "pale texture", "tuning", "mate/nature/Wood.jpg", (0.5, 0.5)),
    ("marigold", "flower, blur", "tuning", "mate/nature/Garden.jpg", (0.6, 0.5)),
    ("poster", "text on a photograph", "tuning", "aitzgorri_by_Aitzol_Berasategi.jpg",
     (0.9, 0.1)),
    ("autumn", "foliage, mountain", "aside", "aitzgorri_by_Aitzol_Berasategi.jpg", (0.3, 0.5)),
    ("stream", "water, rock, forest", "aside", "life_by_Aitzol_Berasategi.jpg", (0.5, 0.6)),
    ("mountain", "rock, snow, sky", "aside", "picosdeeuropa_by_Aitzol_Berasategi.jpg",
     (0.6, 0.2)),
    ("brushes", "painted brushes", "aside", "Picture_1A_by_freespace.jpg", (0.5, 0.5)),
    ("bark", "bark, bird, blur", "aside", "Kleiber_by_Lukas_Baubkus.jpg", (0.2, 0.5)),
    ("wine", "indoors, wood", "aside", "Wine_by_Jakkub_Mede.jpg", (0.5, 0.4)),
]
# The 9 MP photographs of the speed table.
SPEED_FILES = ["Bridge_by_Sander_Klootwijk.jpg", "Dragonfly_by_Bolly.jpg",
               "Wine_by_Jakkub_Mede.jpg", "seeding_by_Clements_Engelhardt.jpg",
               "sunset_by_Aitzol_Berasategi.jpg"]


def kx_command(extra, n, src, dst):
    return [bk.KXQUANT, "-f", "-q", "-n", str(n)] + extra + ["-o", dst, src]


def pq_command(extra, n, src, dst):
    return ["pngquant", "--force"] + extra + ["--output", dst, str(n), src]


def kx_rows():
    return [KXQUANT_DEFAULT] + KXQUANT_LEVELS + KXQUANT_OTHERS


# ---- Material -----------------------------------------------------------------------------


def poster(photo):
    """A headline with a soft shadow and a caption on a translucent band over the
    photograph, drawn at twice the size and reduced, as a web page's hero."""
    s = 2
    im = photo.resize((1024 * s, 768 * s), Image.LANCZOS).convert("RGBA")
    shadow = Image.new("RGBA", im.size, (0, 0, 0, 0))
    ImageDraw.Draw(shadow).text((70 * s, 84 * s), "Autumn in the Basque hills",
                                font=bk.font(bk.FONT_BOLD, 58 * s), fill=(0, 0, 0, 150))
    im.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(6 * s)))
    d = ImageDraw.Draw(im)
    d.text((64 * s, 76 * s), "Autumn in the Basque hills", font=bk.font(bk.FONT_BOLD, 58 * s),
           fill=(255, 255, 255, 255))
    band = Image.new("RGBA", im.size, (0, 0, 0, 0))
    ImageDraw.Draw(band).rectangle((0, 600 * s, 1024 * s, 708 * s), fill=(10, 20, 30, 140))
    im.alpha_composite(band)
    d = ImageDraw.Draw(im)
    d.text((64 * s, 618 * s), "Beech woods turn copper in the first cold week of November.",
           font=bk.font(bk.FONT, 24 * s), fill=(240, 240, 240, 255))
    d.text((64 * s, 656 * s), "Photograph: Aitzol Berasategi", font=bk.font(bk.FONT, 18 * s),
           fill=(200, 205, 210, 255))
    return im.convert("RGB").reduce(s)


def prepare(work):
    """The crops as PNG files, made once: a dict name -> path."""
    base = os.path.join(work, MATERIAL)
    if not os.path.isdir(base):
        tmp = base + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for name, _, _, file, where in PHOTOS:
            im = bk.photo_crop(file, where)
            if name == "poster":
                im = poster(im)
            im.save(os.path.join(tmp, f"{name}.png"))
        os.rename(tmp, base)
    return {p[0]: os.path.join(base, f"{p[0]}.png") for p in PHOTOS}


# ---- Measures ---------------------------------------------------------------------------


class Measures:
    """Bytes and butteraugli of one tool's file for one picture, kept in the work
    folder for the next run: the peers' by their version, kxquant's by the
    checksum of its program (a rebuilt kxquant is measured again)."""

    def __init__(self, work):
        self.work = work
        self.lock = threading.Lock()
        self.local = threading.local()
        self.kept_path = os.path.join(work, f"results-{MATERIAL}.json")
        try:
            with open(self.kept_path) as f:
                self.kept = json.load(f)
        except (OSError, ValueError):
            self.kept = {}
        self.version = subprocess.run(["pngquant", "--version"], capture_output=True,
                                      text=True).stdout.strip()
        with open(bk.KXQUANT, "rb") as f:
            self.kx_version = "kxquant " + hashlib.sha1(f.read()).hexdigest()

    def tools(self):
        """This thread's runner and butteraugli, each in a folder of its own."""
        if not hasattr(self.local, "runner"):
            folder = os.path.join(self.work, f"worker-{threading.get_ident()}")
            self.local.runner = bk.Runner(folder)
            self.local.butteraugli = bk.Butteraugli(os.path.join(folder, "runs"))
        return self.local.runner, self.local.butteraugli

    def __call__(self, name, src, n, label, command):
        peer = not command(n, src, "x")[0] == bk.KXQUANT
        key = f"{self.version if peer else self.kx_version} {name} {n} {label}"
        with self.lock:
            if key in self.kept:
                return self.kept[key]
        runner, butteraugli = self.tools()
        folder = os.path.join(self.work, "out")
        os.makedirs(folder, exist_ok=True)
        dst = os.path.join(folder, f"{name}-{n}-{re.sub('[^A-Za-z0-9.]', '', label)}.png")
        r = runner.pipeline([command(n, src, dst)])
        if not r.ok or not os.path.exists(dst):
            return {"fails": r.cell() if not r.ok else f"fails: no {os.path.basename(dst)}"}
        original, result = bk.load_rgb(src), bk.load_rgb(dst)
        m = {"bytes": os.path.getsize(dst), "ba": butteraugli(original, result),
             "psnr": bk.psnr(original, result), "cpu": r.cpu}
        with self.lock:
            self.kept[key] = m
            with open(self.kept_path + ".tmp", "w") as f:
                json.dump(self.kept, f)
            os.replace(self.kept_path + ".tmp", self.kept_path)
        return m


def best_at_bytes(kx, limit):
    """The lowest butteraugli among kxquant's rows whose file is at most `limit`
    bytes, with its label; (None, None) when none is."""
    fitting = [(m["ba"], label) for label, m in kx if "ba" in m and m["bytes"] <= limit]
    return min(fitting) if fitting else (None, None)


# ---- Report -------------------------------------------------------------------------------


def cell(m):
    return m["fails"] if "fails" in m else f"{m['ba']:.2f} / {m['bytes'] / 1000:,.0f}k"


def report(results, photos, colours, out):
    """The tables: per picture, per set, and the steps of the levels."""
    kx_labels = [label for label, _ in kx_rows()]
    pq_labels = [label for label, _ in PNGQUANT_ROWS]
    levels = [KXQUANT_DEFAULT[0]] + [label for label, _ in KXQUANT_LEVELS]
    for n in colours:
        out.line(f"#### {n} colours: butteraugli / bytes per picture\n")
        headers = ["picture", "set"] + [f"kxquant {label}" if label[0] == "-" else label
                                        for label in kx_labels] + pq_labels + \
            ["default ÷ pngquant: butteraugli, bytes", "best kxquant at pngquant's bytes ÷ "
             "pngquant"]
        rows = []
        for name, kind, which, _, _ in photos:
            r = results[(name, n)]
            pq = r["pngquant"]
            default = r[KXQUANT_DEFAULT[0]]
            row = [f"{name} ({kind})", which] + [cell(r[label]) for label in kx_labels] + \
                [cell(r[label]) for label in pq_labels]
            if "ba" in pq and "ba" in default:
                row.append(f"{default['ba'] / pq['ba']:.2f}, {default['bytes'] / pq['bytes']:.2f}")
                ba, label = best_at_bytes([(k, r[k]) for k in kx_labels], pq["bytes"])
                row.append("none" if ba is None else
                           f"{ba / pq['ba']:.2f} ({'default' if label == levels[0] else label})")
            else:
                row += ["", ""]
            rows.append(row)
        out.table(headers, rows, right=range(2, len(headers)))
    out.line("#### Per set: means, and the worst picture\n")
    rows = []
    for which in ("tuning", "aside"):
        names = [p[0] for p in photos if p[2] == which]
        if not names:
            continue
        for n in colours:
            per = [results[(name, n)] for name in names]
            if any("ba" not in r[label] for r in per for label in levels + ["pngquant"]):
                rows.append([which, n] + ["a tool failed"] + [""] * 6)
                continue
            default = [r[levels[0]]["ba"] / r["pngquant"]["ba"] for r in per]
            best = []
            for name, r in zip(names, per):
                ba, _ = best_at_bytes([(k, r[k]) for k in kx_labels], r["pngquant"]["bytes"])
                best.append((float("inf") if ba is None else ba / r["pngquant"]["ba"], name))
            worst_default = max(zip(default, names))
            met = sum(1 for r in per if r[levels[0]]["ba"] <= r["pngquant"]["ba"] and
                      r[levels[0]]["bytes"] <= r["pngquant"]["bytes"])
            rows.append([which, n, len(names),
                         f"{bk.mean(r[levels[0]]['ba'] for r in per):.2f}",
                         f"{bk.mean(r['pngquant']['ba'] for r in per):.2f}",
                         f"{bk.mean(r[levels[0]]['bytes'] / r['pngquant']['bytes'] for r in per):.2f}",
                         f"{worst_default[0]:.2f} ({worst_default[1]})",
                         f"{max(best)[0]:.2f} ({max(best)[1]})",
                         f"{met} of {len(names)}"])
    out.table(["set", "colours", "pictures", "kxquant butteraugli mean",
               "pngquant butteraugli mean", "kxquant ÷ pngquant bytes (mean)",
               "worst picture: default ÷ pngquant butteraugli",
               "worst picture: best kxquant at pngquant's bytes ÷ pngquant [<= 1]",
               "default at or below pngquant in look and bytes"], rows,
              right=range(2, 9))
    if len(levels) > 1:
        out.line("#### The levels, step by step: pictures where the step gives a "
                 "lower butteraugli for more bytes, and the mean change\n")
        rows = []
        for n in colours:
            for a, b in zip(levels, levels[1:]):
                per = [results[(p[0], n)] for p in photos]
                per = [r for r in per if "ba" in r[a] and "ba" in r[b]]
                better = sum(1 for r in per if r[b]["ba"] < r[a]["ba"])
                dba = bk.mean(r[b]["ba"] - r[a]["ba"] for r in per)
                dbytes = bk.mean(r[b]["bytes"] / r[a]["bytes"] - 1 for r in per)
                rows.append([n, f"{a} -> {b}", f"{better} of {len(per)}", f"{dba:+.2f}",
                             f"{100 * dbytes:+.1f} %"])
        out.table(["colours", "step", "look better", "butteraugli change (mean)",
                   "bytes change (mean)"], rows, right=range(2, 5))


def speed(runner, work, runs, out):
    """kxquant's default and its highest level against pngquant's default on
    lomiri's 9 MP photographs, from the same PNG file, whole process, CPU time
    side by side."""
    folder = os.path.join(work, "wallpapers")
    os.makedirs(folder, exist_ok=True)
    out.line(f"#### 9 MP photographs, 256 colours, whole process, median of {runs} "
             "run(s): wall s (CPU s)\n")
    rows = []
    top = KXQUANT_LEVELS[-1] if KXQUANT_LEVELS else KXQUANT_DEFAULT
    for file in SPEED_FILES:
        png = os.path.join(folder, file[:-4] + ".png")
        if not os.path.exists(png):
            Image.open(os.path.join(bk.BACKGROUNDS, file)).convert("RGB").save(png)
        w, h = Image.open(png).size
        r = {}
        for label, command in [("kx", lambda d: kx_command(KXQUANT_DEFAULT[1], 256, png, d)),
                               ("top", lambda d: kx_command(top[1], 256, png, d)),
                               ("pq", lambda d: pq_command([], 256, png, d))]:
            r[label] = bk.median_runs(lambda: runner.pipeline(
                [command(png[:-4] + f"-{label}.out.png")]), runs)
        rows.append([file[:-4], f"{w}x{h}", bk.seconds_cell(r["kx"], 3),
                     bk.seconds_cell(r["top"], 3), bk.seconds_cell(r["pq"], 3),
                     bk.ratio(r["pq"].cpu, r["kx"].cpu) if r["kx"].ok and r["pq"].ok else "",
                     bk.ratio(r["pq"].cpu, r["top"].cpu) if r["top"].ok and r["pq"].ok else ""])
    out.table(["photograph", "size", "kxquant", f"kxquant {top[0]}", "pngquant",
               "pngquant ÷ kxquant CPU [>= 3]", f"pngquant ÷ {top[0]} CPU"], rows,
              right=range(2, 7))
    out.save()


def main():
    ap = argparse.ArgumentParser(description="kxquant and pngquant on photographs of many "
                                             "kinds, by look and bytes")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-photos"),
                    help="work folder (pictures, outputs, the peers' results)")
    ap.add_argument("--colours", default=",".join(map(str, COLOURS)))
    ap.add_argument("--pictures", default="", help="comma-separated names (default: all)")
    ap.add_argument("--runs", type=int, default=3, help="timed runs of the speed table")
    ap.add_argument("--jobs", type=int, default=2, help="pictures measured at once")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: two pictures, 64 colours, no speed table")
    ap.add_argument("--no-speed", action="store_true", help="leave out the speed table")
    ap.add_argument("--speed-only", action="store_true", help="only the speed table")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("photos", args.markdown or None, PARTS)
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install(PACKAGES, "bench/photos")
    colours = [int(c) for c in args.colours.split(",")]
    photos = PHOTOS
    if args.pictures:
        wanted = args.pictures.split(",")
        photos = [p for p in PHOTOS if p[0] in wanted]
    if args.quick:
        photos, colours, args.no_speed = [PHOTOS[0], PHOTOS[-1]], [64], True
    # A smoke test keeps its results in the work folder, not beside the scripts.
    kept = os.path.join(args.out, "results.json") if args.quick else None
    if not args.speed_only:
        files = prepare(args.out)
        measure = Measures(args.out)
        out = bk.Report("photos", "", kept)
        out.line("kxquant's rows: `kxquant -n N` and the arguments named; pngquant's: "
                 "`pngquant N` and the arguments named. A cell is butteraugli (lower is "
                 "better) / bytes.\n")
        results = {}
        tools = [(label, lambda n, s, d, e=extra: kx_command(e, n, s, d))
                 for label, extra in kx_rows()] + \
                [(label, lambda n, s, d, e=extra: pq_command(e, n, s, d))
                 for label, extra in PNGQUANT_ROWS]
        # Two at a time (butteraugli uses one core); kxquant's CPU time is not
        # reported here, so the runs need not be alone.
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            jobs = {(name, n, label): pool.submit(measure, name, files[name], n, label, tool)
                    for name, *_ in photos for n in colours for label, tool in tools}
            for name, *_ in photos:
                for n in colours:
                    results[(name, n)] = {label: jobs[(name, n, label)].result()
                                          for label, _ in tools}
                    print(f"  {name} {n}: " + ", ".join(f"{label} {cell(m)}" for label, m in
                                                        results[(name, n)].items()),
                          file=os.sys.stderr, flush=True)
        report(results, photos, colours, out)
        out.save()
    if not args.no_speed:
        speed(bk.Runner(args.out), args.out, args.runs, bk.Report("photos", "speed", kept))


if __name__ == "__main__":
    main()
