"""What every benchmark of bench/ shares, so that each script holds only what it
measures: running a command or a pipeline under GNU time (wall time, CPU time,
peak memory, exit status, the first line of what a failing tool said) and
timing a call in this process, the median of several runs; PSNR and the
loaders of the pictures the tools write; butteraugli on composited pictures;
the pictures drawn here (screenshots, gradients, user-interface pictures with
soft alpha) and the photograph crops; the Debian packages a benchmark needs;
and its report: markdown printed as it comes and kept in bench/results/, from
where `--markdown` and bench/readme print it again.

Every file these helpers write goes into the work folder they are given (or
bench/results/ for the reports)."""

import datetime
import json
import math
import os
import resource
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import threading
import time

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
KXQUANT = os.path.join(BUILD, "kxquant")
KXREDUCE = os.path.join(BUILD, "kxreduce")
KXCONV = os.path.join(BUILD, "kxconv")
RESULTS = os.path.join(ROOT, "bench", "results")
TIMEOUT = 900  # seconds for any single command or pipeline
BACKGROUNDS = "/usr/share/backgrounds"  # where Debian's wallpaper packages put theirs
SKIMAGE_DATA = "/usr/lib/python3/dist-packages/skimage/data"  # python3-skimage's pictures
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
MONO = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
# Pillow's median cut as a process of its own: python3 -c PILLOW_MEDIANCUT IN OUT COLOURS.
PILLOW_MEDIANCUT = (
    "import sys\n"
    "from PIL import Image\n"
    "im = Image.open(sys.argv[1]).convert('RGB')\n"
    "q = im.quantize(int(sys.argv[3]), method=Image.MEDIANCUT)\n"
    "q.convert('RGB').save(sys.argv[2])\n"
)


def kxquant_help():
    """kxquant's usage text, so that a benchmark can use an option once it exists."""
    try:
        return subprocess.run([KXQUANT, "--help"], capture_output=True, text=True,
                              timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def kxquant_has(option):
    return any(word.rstrip(",") == option for word in kxquant_help().split())


# ---- Running tools ---------------------------------------------------------------------


class Result:
    """One run of a tool: wall seconds (None when it did not finish), peak MB,
    status, the first line its failing process wrote to standard error, and the
    CPU seconds (user + system) of its processes, which say more than the wall
    time on a machine busy with other work."""

    def __init__(self, seconds, peak_mb, status, message="", cpu=float("nan")):
        self.seconds, self.peak_mb, self.status, self.message = seconds, peak_mb, status, message
        self.cpu = cpu

    @property
    def ok(self):
        return self.seconds is not None and self.status == 0

    def cell(self):
        """'fails: <first line>' for a failed run (a markdown-safe table cell)."""
        if self.seconds is None:
            return cell_text(f"fails: timeout after {TIMEOUT} s")
        return cell_text(f"fails: {self.message or 'status %s' % self.status}")


def cell_text(text, limit=90):
    text = " ".join(text.split()).replace("|", "\\|")
    return text if len(text) <= limit else text[:limit - 1] + "…"


class Runner:
    """Runs commands with their GNU time files and standard error in `work`."""

    def __init__(self, work, env=None):
        self.work = os.path.abspath(os.path.join(work, "runs"))
        os.makedirs(self.work, exist_ok=True)
        self.env = dict(os.environ, **(env or {}))
        self.last_peaks = []  # the peak MB of each process of the last pipeline

    def pipeline(self, commands, cwd=None, stdout=None, env=None):
        """Runs `commands` (argument lists) as one shell-less pipeline, each process
        under GNU time, with `env` added to the runner's environment (a value of
        None removes the variable). Peak memory is the sum of the processes'
        peaks (they run at the same time); the status and message are those of
        the last process that failed (a downstream failure makes the upstream
        ones fail too)."""
        environment = dict(self.env)
        for key, value in (env or {}).items():
            if value is None:
                environment.pop(key, None)
            else:
                environment[key] = str(value)
        procs, files = [], []
        start = time.perf_counter()
        prev = None
        try:
            for i, cmd in enumerate(commands):
                tfile = os.path.join(self.work, f"time{i}.txt")
                efile = os.path.join(self.work, f"stderr{i}.txt")
                last = i == len(commands) - 1
                err = open(efile, "wb")
                out = (stdout or subprocess.DEVNULL) if last else subprocess.PIPE
                # A process group of its own, so that a timeout ends the tool and
                # not only GNU time.
                p = subprocess.Popen(["/usr/bin/time", "-f", "%M %U %S", "-o", tfile] + list(cmd),
                                     stdin=prev.stdout if prev else subprocess.DEVNULL,
                                     stdout=out, stderr=err, cwd=cwd, env=environment,
                                     process_group=0)
                err.close()
                if prev:
                    prev.stdout.close()  # only the next process holds the pipe
                procs.append(p)
                files.append((tfile, efile))
                prev = p
        except OSError as e:
            end_all(procs)
            return Result(0.0, 0.0, 127, f"{commands[len(procs)][0]}: {e.strerror}")
        # Waited for without polling (Popen.wait with a timeout sleeps up to
        # 50 ms between looks, which a run of a tenth of a second would show):
        # a timer ends the pipeline at the deadline.
        timed_out = threading.Event()

        def timeout():
            timed_out.set()
            kill_all(procs)

        timer = threading.Timer(TIMEOUT, timeout)
        timer.start()
        try:
            for p in procs:
                p.wait()
        except BaseException:  # Ctrl-C: the tools are not in the terminal's group
            end_all(procs)
            raise
        finally:
            timer.cancel()
        elapsed = time.perf_counter() - start
        if timed_out.is_set():
            return Result(None, None, "timeout")
        status, message = 0, ""
        usage = [read_time_file(tfile) for tfile, _ in files]
        self.last_peaks = [u[0] for u in usage]
        for p, (tfile, efile) in zip(procs, files):
            if p.returncode != 0:
                status, message = p.returncode, first_line(efile)
        return Result(elapsed, sum(u[0] for u in usage), status, message,
                      sum(u[1] for u in usage))

    def steps(self, steps, cwd=None, env=None):
        """Runs steps one after the other; each step is a pipeline (a list of
        argument lists), a function returning one (for arguments that exist only
        after an earlier step, such as extracted frames), or (pipeline, file) to
        write the last process's output into the file. Times add up, the peak
        is the largest; stops at the first failing step."""
        total, peak, cpu = 0.0, 0.0, 0.0
        for step in steps:
            commands = step() if callable(step) else step
            out = None
            if isinstance(commands, tuple):
                commands, out = commands
            if out:
                with open(out, "wb") as f:
                    r = self.pipeline(commands, cwd=cwd, stdout=f, env=env)
            else:
                r = self.pipeline(commands, cwd=cwd, env=env)
            if r.seconds is None:
                return r
            total += r.seconds
            peak = max(peak, r.peak_mb)
            cpu += r.cpu
            if r.status != 0:
                return Result(total, peak, r.status, r.message, cpu)
        return Result(total, peak, 0, "", cpu)


def kill_all(procs):
    """Kills every process group of a pipeline."""
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def end_all(procs):
    """Kills every process group of a pipeline and waits for them."""
    kill_all(procs)
    for p in procs:
        p.wait()


def read_time_file(tfile):
    """(peak MB, CPU seconds) from GNU time's "%M %U %S" line."""
    try:
        with open(tfile) as f:
            rss, user, system = f.read().strip().splitlines()[-1].split()
        return float(rss) / 1024.0, float(user) + float(system)
    except (OSError, ValueError, IndexError):
        return float("nan"), float("nan")


def first_line(path):
    try:
        with open(path, errors="replace") as f:
            for line in f:
                if line.strip():
                    return line.strip()
    except OSError:
        pass
    return ""


def call(work):
    """Times `work()` in this process: a Result of its wall and CPU seconds (of
    this process, every thread), and the value it returned as `.value`."""
    wall, cpu = time.perf_counter(), time.process_time()
    value = work()
    r = Result(time.perf_counter() - wall, float("nan"), 0, "", time.process_time() - cpu)
    r.value = value
    return r


def children_cpu():
    """The CPU seconds (user + system) of the finished children of this process."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def fresh_copies(folder, files):
    """The files copied into `folder`, made empty first (a tool working on a
    set in one command writes beside them); their names there."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    names = []
    for f in files:
        shutil.copyfile(f, os.path.join(folder, os.path.basename(f)))
        names.append(os.path.basename(f))
    return names


def median_runs(run, runs, failed_too=False):
    """Runs `run` (returning a Result) `runs` times; the result with the median
    wall and CPU time and the largest peak, or the first failure. With
    `failed_too`, a run that ends with a non-zero status counts like the others
    (the result keeps the last status); only a timeout stops."""
    results = []
    for _ in range(max(1, runs)):
        r = run()
        if r.seconds is None or not (r.ok or failed_too):
            return r
        results.append(r)
    seconds = statistics.median(r.seconds for r in results)
    median = Result(seconds, max(r.peak_mb for r in results), results[-1].status,
                    results[-1].message, statistics.median(r.cpu for r in results))
    if hasattr(results[-1], "value"):
        median.value = results[-1].value
    return median


def seconds_cell(r, digits=2):
    """'wall (CPU)' seconds of a run, or its failure."""
    return f"{r.seconds:.{digits}f} ({r.cpu:.{digits}f})" if r.ok else r.cell()


# ---- Measures ---------------------------------------------------------------------------


def mse(a, b):
    d = a.astype(np.float64) - b.astype(np.float64)
    return float(np.mean(d * d))


def psnr_of_mse(m):
    """PSNR in dB; identical pictures count as 99 dB so that means stay finite."""
    return 99.0 if m <= 1e-10 else min(99.0, 10 * math.log10(255.0 * 255.0 / m))


def psnr(a, b):
    return psnr_of_mse(mse(a, b))


def load_rgba(path):
    return np.asarray(Image.open(path).convert("RGBA"))


def load_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"))


def load_icn(stem):
    """kxreduce's reduced picture: the .icn indices through the .clm palette."""
    with open(stem + ".icn", "rb") as f:
        icn = f.read()
    with open(stem + ".clm", "rb") as f:
        clm = f.read()
    w, h = struct.unpack(">HH", icn[48:52])
    idx = np.frombuffer(icn, dtype=np.uint8, count=w * h, offset=68).reshape(h, w)
    count, bits = struct.unpack(">hh", clm[8:12])
    pal = np.frombuffer(clm, dtype=">u2", count=3 * count, offset=16).reshape(count, 3)
    if bits != 8:
        pal = pal * 255 // ((1 << bits) - 1)
    return pal.astype(np.uint8)[idx]


def composite(rgba, background):
    """RGBA over a plain background (0 black, 255 white), rounded to 8 bits, as a
    viewer shows it."""
    a = rgba[..., 3:4].astype(np.float64) / 255.0
    rgb = rgba[..., :3].astype(np.float64)
    return np.clip(np.rint(rgb * a + background * (1.0 - a)), 0, 255).astype(np.uint8)


def alpha_levels(rgba):
    return int(np.unique(rgba[..., 3]).size)


class Butteraugli:
    """Debian's butteraugli: `butteraugli A.png B.png` prints one distance (the
    largest over the picture; lower is better, about 1 is barely visible)."""

    def __init__(self, work):
        self.a = os.path.join(work, "ba-a.png")
        self.b = os.path.join(work, "ba-b.png")

    def __call__(self, a_rgb, b_rgb):
        Image.fromarray(a_rgb).save(self.a, compress_level=1)
        Image.fromarray(b_rgb).save(self.b, compress_level=1)
        out = subprocess.run(["butteraugli", self.a, self.b], capture_output=True, text=True,
                             timeout=TIMEOUT)
        try:
            return float(out.stdout.split()[0])
        except (IndexError, ValueError):
            return float("nan")


def worse_of_white_and_black(original, result, butteraugli):
    """(PSNR, butteraugli) of RGBA `result` against `original`, each the worse of
    the composite over white and over black."""
    p, b = [], []
    for bg in (255, 0):
        o, r = composite(original, bg), composite(result, bg)
        p.append(psnr(o, r))
        b.append(butteraugli(o, r))
    return min(p), max(b)


# ---- Pictures -----------------------------------------------------------------------------


def font(path, size):
    try:
        return ImageFont.truetype(path, size)
    except OSError:
        return ImageFont.load_default()


def photo_crop(file, where, width=2048, enlarge=False):
    """A 1024 x 768 crop of a wallpaper of BACKGROUNDS, scaled first to `width`
    pixels wide when it is wider (or narrower too, with `enlarge`); `where`
    places the crop as fractions of the room left and right, above and below."""
    im = Image.open(os.path.join(BACKGROUNDS, file)).convert("RGB")
    if im.width > width or enlarge:
        im = im.resize((width, round(im.height * width / im.width)), Image.LANCZOS)
    x = round((im.width - 1024) * where[0])
    y = round((im.height - 768) * where[1])
    return im.crop((x, y, x + 1024, y + 768))


def package_pictures(package):
    """The JPEG and PNG pictures a Debian package puts in BACKGROUNDS (other
    packages put theirs in the same folder), in name order."""
    listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
    return sorted(f for f in listed.stdout.split()
                  if f.startswith(BACKGROUNDS + "/") and f.endswith((".jpg", ".png")))


def shadow(size, box, radius, blur, opacity, offset=(0, 6), colour=(0, 0, 0)):
    """A soft drop shadow of a rounded box: `colour`, blurred, `opacity` at its core."""
    layer = Image.new("RGBA", size, (0, 0, 0, 0))
    x0, y0, x1, y1 = box
    ImageDraw.Draw(layer).rounded_rectangle(
        (x0 + offset[0], y0 + offset[1], x1 + offset[0], y1 + offset[1]), radius,
        fill=tuple(colour) + (opacity,))
    return layer.filter(ImageFilter.GaussianBlur(blur))


def card_shadow(canvas, box, radius, blur, opacity, dy):
    canvas.alpha_composite(shadow(canvas.size, box, radius, blur, opacity, (0, dy), (20, 30, 60)))


def web_page(photo, scale=1):
    """A web page at twice the size, reduced by 2 (as a HiDPI screen shows it):
    header, a hero gradient, cards with blurred shadows, a photo thumbnail;
    1280 x 800 times `scale`."""
    s = 2 * scale
    im = Image.new("RGBA", (1280 * s, 800 * s), (244, 246, 250, 255))
    d = ImageDraw.Draw(im)
    d.rectangle((0, 0, 1280 * s, 64 * s), fill=(255, 255, 255, 255))
    d.text((40 * s, 18 * s), "Palette Weekly", font=font(FONT_BOLD, 24 * s), fill=(25, 35, 60))
    for i, item in enumerate(["Articles", "Tools", "Pricing", "About"]):
        d.text(((700 + 120 * i) * s, 22 * s), item, font=font(FONT, 17 * s), fill=(70, 80, 100))
    hero = np.linspace(0, 1, 1200 * s)[None, :, None]
    band = (np.array([88, 86, 214]) * (1 - hero) + np.array([0, 170, 210]) * hero)
    band = np.repeat(band, 220 * s, axis=0)
    im.paste(Image.fromarray(np.rint(band).astype(np.uint8), "RGB"), (40 * s, 90 * s))
    d.text((80 * s, 140 * s), "Smaller pictures, same look", font=font(FONT_BOLD, 40 * s),
           fill=(255, 255, 255))
    d.text((80 * s, 200 * s), "How palettes, dithering and deflate decide what you ship.",
           font=font(FONT, 20 * s), fill=(235, 240, 255))
    thumb = photo.resize((330 * s, 180 * s), Image.LANCZOS)
    for i in range(3):
        x0, y0 = (40 + 410 * i) * s, 350 * s
        box = (x0, y0, x0 + 380 * s, y0 + 400 * s)
        card_shadow(im, box, 16 * s, 18 * s, 70, 10 * s)
        d = ImageDraw.Draw(im)
        d.rounded_rectangle(box, 16 * s, fill=(255, 255, 255, 255))
        if i == 0:
            im.paste(thumb, (x0 + 25 * s, y0 + 25 * s))
        else:
            c = [(255, 196, 120), (150, 220, 170)][i - 1]
            d.rounded_rectangle((x0 + 25 * s, y0 + 25 * s, x0 + 355 * s, y0 + 205 * s), 10 * s,
                                fill=c + (255,))
        d.text((x0 + 25 * s, y0 + 225 * s), ["Median cut, revisited", "Dither where it helps",
                                             "Deflate by hand"][i],
               font=font(FONT_BOLD, 21 * s), fill=(25, 35, 60))
        for j, line in enumerate(["Three lines of summary under the title,",
                                  "set in a grey that is easy on the eye,",
                                  "ending a little short."]):
            d.text((x0 + 25 * s, y0 + (265 + 26 * j) * s), line, font=font(FONT, 15 * s),
                   fill=(100, 110, 130))
        d.rounded_rectangle((x0 + 25 * s, y0 + 345 * s, x0 + 145 * s, y0 + 380 * s), 8 * s,
                            fill=(88, 86, 214, 255))
        d.text((x0 + 50 * s, y0 + 352 * s), "Read", font=font(FONT_BOLD, 15 * s),
               fill=(255, 255, 255))
    return im.convert("RGB").reduce(2)


CODE = """#include <algorithm>
#include <vector>

namespace kx {

// Chooses the palette: median cut over the colour histogram.
std::vector<Colour> choosePalette(const Histogram& histogram, int colours) {
    std::vector<Box> boxes{Box(histogram)};
    while (static_cast<int>(boxes.size()) < colours) {
        auto widest = std::max_element(boxes.begin(), boxes.end(), byRange);
        if (widest->count() < 2) break;
        auto [low, high] = widest->split();
        *widest = low;
        boxes.push_back(high);
    }
    std::vector<Colour> palette;
    for (const Box& box : boxes) palette.push_back(box.mean());
    return palette;  // at most `colours` entries
}

}  // namespace kx
"""
KEYWORDS = {"include", "namespace", "const", "auto", "while", "for", "if", "break", "return",
            "static_cast", "int"}


def code_editor():
    """A dark code editor: tabs, a file tree, syntax-coloured monospace text, a
    highlighted line, a minimap and a status bar."""
    im = Image.new("RGB", (1280, 800), (40, 44, 52))
    d = ImageDraw.Draw(im)
    d.rectangle((0, 0, 1280, 34), fill=(33, 37, 43))
    for i, name in enumerate(["palette.cpp", "remap.cpp", "CMakeLists.txt"]):
        fill = (40, 44, 52) if i == 0 else (33, 37, 43)
        d.rectangle((240 + 170 * i, 0, 405 + 170 * i, 34), fill=fill)
        d.text((256 + 170 * i, 9), name, font=font(FONT, 14),
               fill=(220, 223, 228) if i == 0 else (140, 146, 156))
    d.rectangle((0, 0, 238, 800), fill=(33, 37, 43))
    tree = ["▾ src", "  ▾ reduce", "    palette.cpp", "    remap.cpp", "    histogram.cpp",
            "  ▸ imageio", "  ▸ quant", "▸ tests", "▸ bench", "  CMakeLists.txt",
            "  README.md"]
    for i, name in enumerate(tree):
        if i == 2:
            d.rectangle((0, 48 + 24 * i, 238, 70 + 24 * i), fill=(44, 49, 58))
        d.text((14, 50 + 24 * i), name, font=font(FONT, 14), fill=(171, 178, 191))
    mono = font(MONO, 15)
    d.rectangle((240, 48 + 21 * 8, 1150, 48 + 21 * 9), fill=(44, 49, 60))
    for row, line in enumerate(CODE.split("\n")):
        y = 48 + 21 * row
        d.text((250, y), f"{row + 1:3d}", font=mono, fill=(75, 82, 99))
        x = 300
        for word in split_code(line):
            colour = (220, 223, 228)
            if word.strip().startswith("//"):
                colour = (92, 99, 112)
            elif word.strip() in KEYWORDS:
                colour = (198, 120, 221)
            elif word.strip().startswith(("<", "\"")) or word.strip().isdigit():
                colour = (152, 195, 121)
            elif word[:1].isupper():
                colour = (229, 192, 123)
            elif word.strip().endswith("("):
                colour = (97, 175, 239)
            d.text((x, y), word, font=mono, fill=colour)
            x += d.textlength(word, font=mono)
    for row, line in enumerate(CODE.split("\n")):  # the minimap
        w = min(110, 2 * len(line.rstrip()))
        if w:
            d.rectangle((1165 + 2 * (len(line) - len(line.lstrip())), 50 + 4 * row, 1165 + w,
                         52 + 4 * row), fill=(90, 96, 110))
    d.rectangle((1160, 48, 1280, 48 + 4 * 24), outline=(70, 76, 90))
    d.rectangle((0, 776, 1280, 800), fill=(33, 90, 160))
    d.text((12, 780), "main  ✓ 0 problems     Ln 9, Col 17     UTF-8     C++",
           font=font(FONT, 13), fill=(235, 240, 250))
    return im


def split_code(line):
    """A line of code as words, comments and the spaces and signs between them."""
    if "//" in line:
        i = line.index("//")
        return split_code(line[:i]) + [line[i:]] if i else [line]
    words, cur = [], ""
    for ch in line:
        if ch.isalnum() or ch in "_#<>.\"":
            cur += ch
        else:
            if cur:
                words.append(cur + ("(" if ch == "(" else ""))
                if ch == "(":
                    cur = ""
                    continue
            words.append(ch)
            cur = ""
    if cur:
        words.append(cur)
    return words


def dashboard():
    """A dashboard at twice the size, reduced by 2: KPI cards with shadows, an
    antialiased line chart over a gradient area, bars and a donut."""
    s = 2
    rng = np.random.default_rng(26)
    im = Image.new("RGBA", (1280 * s, 800 * s), (238, 241, 246, 255))
    d = ImageDraw.Draw(im)
    d.rectangle((0, 0, 220 * s, 800 * s), fill=(27, 34, 52, 255))
    for i, item in enumerate(["Overview", "Traffic", "Sales", "Reports", "Settings"]):
        if i == 0:
            d.rounded_rectangle((12 * s, (80 + 44 * i) * s, 208 * s, (116 + 44 * i) * s), 8 * s,
                                fill=(58, 92, 200, 255))
        d.text((32 * s, (88 + 44 * i) * s), item, font=font(FONT, 16 * s), fill=(220, 226, 240))
    kpis = [("Visitors", "48,213", "+4.1%"), ("Sign-ups", "1,892", "+12.5%"),
            ("Revenue", "$86.4k", "-1.3%"), ("Churn", "2.4%", "-0.2%")]
    for i, (name, value, delta) in enumerate(kpis):
        x0 = (250 + 252 * i) * s
        box = (x0, 30 * s, x0 + 230 * s, 140 * s)
        card_shadow(im, box, 12 * s, 14 * s, 55, 6 * s)
        d = ImageDraw.Draw(im)
        d.rounded_rectangle(box, 12 * s, fill=(255, 255, 255, 255))
        d.text((x0 + 20 * s, 48 * s), name, font=font(FONT, 15 * s), fill=(120, 130, 150))
        d.text((x0 + 20 * s, 74 * s), value, font=font(FONT_BOLD, 30 * s), fill=(25, 35, 60))
        d.text((x0 + 150 * s, 86 * s), delta, font=font(FONT, 14 * s),
               fill=(40, 160, 90) if delta[0] == "+" else (210, 70, 70))
    # The line chart card.
    box = (250 * s, 170 * s, 1000 * s, 520 * s)
    card_shadow(im, box, 12 * s, 14 * s, 55, 6 * s)
    d = ImageDraw.Draw(im)
    d.rounded_rectangle(box, 12 * s, fill=(255, 255, 255, 255))
    d.text((275 * s, 188 * s), "Visitors, last 60 days", font=font(FONT_BOLD, 17 * s),
           fill=(25, 35, 60))
    left, right, top, bottom = 290 * s, 970 * s, 240 * s, 490 * s
    for k in range(6):
        y = bottom - (bottom - top) * k // 5
        d.line((left, y, right, y), fill=(230, 233, 240), width=s)
    values = np.cumsum(rng.normal(0.6, 3.0, 60)) + 40
    values = (values - values.min()) / (values.max() - values.min())
    xs = np.linspace(left, right, 60)
    ys = bottom - values * (bottom - top) * 0.9
    mask = Image.new("L", im.size, 0)
    ImageDraw.Draw(mask).polygon([(left, bottom)] + list(zip(xs, ys)) + [(right, bottom)],
                                 fill=255)
    fade = np.zeros((im.size[1], im.size[0]), np.float64)
    fade[top:bottom, :] = np.linspace(110, 0, bottom - top)[:, None]
    alpha = np.asarray(mask, np.float64) / 255 * fade
    area_px = np.zeros((im.size[1], im.size[0], 4), np.uint8)
    area_px[..., :3] = (58, 92, 200)
    area_px[..., 3] = np.rint(alpha).astype(np.uint8)
    im.alpha_composite(Image.fromarray(area_px, "RGBA"))
    d = ImageDraw.Draw(im)
    d.line(list(zip(xs, ys)), fill=(58, 92, 200, 255), width=3 * s, joint="curve")
    # The bar chart card.
    box = (1030 * s, 170 * s, 1250 * s, 520 * s)
    card_shadow(im, box, 12 * s, 14 * s, 55, 6 * s)
    d = ImageDraw.Draw(im)
    d.rounded_rectangle(box, 12 * s, fill=(255, 255, 255, 255))
    d.text((1050 * s, 188 * s), "By channel", font=font(FONT_BOLD, 17 * s), fill=(25, 35, 60))
    colours = [(58, 92, 200), (0, 170, 210), (250, 170, 60), (230, 90, 110), (120, 200, 140)]
    for k, c in enumerate(colours):
        h = int((60 + 45 * ((k * 37) % 5)) * s)
        x = (1055 + 38 * k) * s
        d.rounded_rectangle((x, 490 * s - h, x + 24 * s, 490 * s), 5 * s, fill=c + (255,))
    # The donut card.
    box = (250 * s, 550 * s, 620 * s, 770 * s)
    card_shadow(im, box, 12 * s, 14 * s, 55, 6 * s)
    d = ImageDraw.Draw(im)
    d.rounded_rectangle(box, 12 * s, fill=(255, 255, 255, 255))
    start = -90
    for share, c in zip([0.42, 0.27, 0.18, 0.13], colours):
        d.pieslice((280 * s, 570 * s, 460 * s, 750 * s), start, start + 360 * share,
                   fill=c + (255,))
        start += 360 * share
    d.ellipse((320 * s, 610 * s, 420 * s, 710 * s), fill=(255, 255, 255, 255))
    for k, name in enumerate(["Search 42%", "Direct 27%", "Social 18%", "Mail 13%"]):
        d.rectangle((480 * s, (600 + 34 * k) * s, 494 * s, (614 + 34 * k) * s),
                    fill=colours[k] + (255,))
        d.text((502 * s, (598 + 34 * k) * s), name, font=font(FONT, 14 * s), fill=(80, 90, 110))
    # A table card.
    box = (650 * s, 550 * s, 1250 * s, 770 * s)
    card_shadow(im, box, 12 * s, 14 * s, 55, 6 * s)
    d = ImageDraw.Draw(im)
    d.rounded_rectangle(box, 12 * s, fill=(255, 255, 255, 255))
    for k, row in enumerate([("Page", "Views", "Time"), ("/pricing", "12,410", "1:42"),
                             ("/blog/dither", "9,877", "3:05"), ("/docs", "7,302", "2:11"),
                             ("/download", "5,118", "0:48")]):
        y = (570 + 38 * k) * s
        if k:
            d.line((670 * s, y - 6 * s, 1230 * s, y - 6 * s), fill=(235, 238, 243), width=s)
        for j, cell in enumerate(row):
            d.text(((675 + 220 * j) * s, y), cell, font=font(FONT_BOLD if k == 0 else FONT, 15 * s),
                   fill=(25, 35, 60) if k == 0 else (90, 100, 120))
    return im.convert("RGB").reduce(s)


def gradients():
    """Two smooth pictures where a palette leaves bands: four colours blended
    from the corners, and a dark vignette (a dim centre fading to the corners)."""
    y, x = np.mgrid[0:768, 0:1024] / np.array([767.0, 1023.0])[:, None, None]
    corners = np.array([[30, 50, 110], [240, 160, 60], [120, 200, 220], [250, 240, 200]], float)
    blend = (corners[0] * ((1 - x) * (1 - y))[..., None] + corners[1] * (x * (1 - y))[..., None]
             + corners[2] * ((1 - x) * y)[..., None] + corners[3] * (x * y)[..., None])
    r = np.hypot(x - 0.5, (y - 0.5) * 0.75)[..., None] / np.hypot(0.5, 0.375)
    vignette = np.array([52, 56, 74.0]) * (1 - r) + np.array([8, 9, 14.0]) * r
    return [Image.fromarray(np.rint(a).astype(np.uint8), "RGB") for a in (blend, vignette)]



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
    d.text((88, 86), "K", font=font(FONT_BOLD, 34), fill=(255, 255, 255, 255))
    d.text((150, 78), "Build finished", font=font(FONT_BOLD, 24), fill=(255, 255, 255, 240))
    d.text((150, 112), "40 icons written to build/icons", font=font(FONT, 17),
           fill=(220, 225, 235, 200))
    d.text((150, 136), "two minutes ago", font=font(FONT, 14), fill=(200, 205, 215, 140))
    button = Image.new("RGBA", size, (0, 0, 0, 0))
    ImageDraw.Draw(button).rounded_rectangle((280, 185, 420, 225), 12,
                                             fill=(255, 255, 255, 70))
    im.alpha_composite(button)
    d.text((316, 193), "Open", font=font(FONT_BOLD, 18), fill=(255, 255, 255, 230))
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
    d.text((56, 240), "Aurora — Slow Light", font=font(FONT_BOLD, 20), fill=(30, 30, 40, 255))
    d.text((56, 270), "2:41 / 4:05", font=font(FONT, 15), fill=(60, 60, 70, 200))
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
                                font=font(FONT, 13), fill=(20, 20, 30, 220))
    ImageDraw.Draw(im).ellipse((x - 76 * 3 + 27, 204, x - 76 * 3 + 33, 210),
                               fill=(255, 255, 255, 200))
    return im



# ---- Installing ---------------------------------------------------------------------------


def missing_packages(packages):
    return [p for p in packages
            if "install ok installed" not in subprocess.run(
                ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout]


def install(packages, who):
    """Installs the Debian packages that are missing (as root), else says which."""
    missing = missing_packages(packages)
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"{who} needs: {' '.join(missing)} (sudo apt-get install -y {' '.join(missing)})")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                   check=True, env=env, stdout=subprocess.DEVNULL)


# ---- Reporting ----------------------------------------------------------------------------


def table_text(headers, rows, right=None):
    """A markdown table and the blank line after it; columns listed in `right`
    (indices) are right-aligned (by default every column but the first two)."""
    right = set(range(2, len(headers))) if right is None else set(right)
    lines = ["| " + " | ".join(headers) + " |",
             "|" + "|".join("---:" if i in right else "---" for i in range(len(headers))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines) + "\n\n"


def table(headers, rows, right=None):
    """Prints a markdown table (see table_text)."""
    print(table_text(headers, rows, right), end="")
    sys.stdout.flush()


def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return f"{value:.{digits}f}"


def ratio(a, b, digits=2):
    """a / b as text, empty when either is missing."""
    if a is None or b is None or b == 0 or any(isinstance(x, float) and math.isnan(x)
                                                for x in (a, b)):
        return ""
    return f"{a / b:.{digits}f}"


def mean(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return statistics.mean(values) if values else float("nan")


def results_path(name):
    return os.path.join(RESULTS, name + ".json")


class Report:
    """What a benchmark prints, kept: every line and table goes to standard
    output as it comes, and `save()` keeps them as part `part` of the results
    file (bench/results/NAME.json by default), with the command, the date, the
    machine and how long the run took. A later run of one part replaces that
    part only; `markdown()` prints the kept parts again, in order."""

    def __init__(self, name, part="", path=None):
        self.name, self.part = name, part
        self.path = path or results_path(name)
        self.command = " ".join(["bench/" + name] + sys.argv[1:])
        self.blocks = []
        self.start = time.perf_counter()
        self.machine = (f"{len(os.sched_getaffinity(0))} cores, load average "
                        f"{os.getloadavg()[0]:.1f} at the start")

    def line(self, text=""):
        print(text, flush=True)
        self.blocks.append({"text": text})

    def table(self, headers, rows, right=None):
        text = table_text(headers, rows, right)
        print(text, end="", flush=True)
        self.blocks.append({"table": text})

    def save(self):
        kept = load_results(self.path)
        parts = kept.setdefault("parts", {})
        parts[self.part] = {
            "command": self.command,
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "machine": self.machine,
            "seconds": round(time.perf_counter() - self.start),
            "blocks": self.blocks}
        kept["name"] = self.name
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path + ".tmp", "w") as f:
            json.dump(kept, f, indent=1, ensure_ascii=False)
            f.write("\n")
        os.replace(self.path + ".tmp", self.path)
        print(f"(kept in {os.path.relpath(self.path)}: `bench/{self.name} --markdown` prints it "
              "again)", file=sys.stderr)


def load_results(path):
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def markdown_text(name, path=None, order=()):
    """The kept results of benchmark `name` as markdown: per part, the command
    and when and where it ran, then what the run printed. None when there are
    none. Parts named in `order` come first."""
    kept = load_results(path or results_path(name)).get("parts", {})
    if not kept:
        return None
    out = []
    for part in sorted(kept, key=lambda p: (list(order).index(p) if p in order else len(order))):
        p = kept[part]
        when = ", ".join(x for x in (p.get("date"), p.get("machine")) if x)
        if p.get("seconds"):
            when += f", {duration(p['seconds'])}"
        out.append(f"`{p['command']}`" + (f" ({when})" if when else "") + ":\n\n")
        if p.get("note"):
            out.append(p["note"] + "\n\n")
        for block in p["blocks"]:
            out.append(block["table"] if "table" in block else block["text"] + "\n")
    return "".join(out)


def duration(seconds):
    return f"{seconds} s" if seconds < 120 else f"{seconds / 60:.0f} min"


def markdown(name, path=None, order=()):
    """Prints the kept results (the --markdown of every benchmark)."""
    text = markdown_text(name, path, order)
    if text is None:
        where = os.path.relpath(path or results_path(name))
        sys.exit(f"no results kept for bench/{name} in {where}: run bench/{name} first")
    print(text, end="")


def markdown_option(parser):
    """Adds --markdown [RESULTS] to a benchmark's options."""
    parser.add_argument("--markdown", nargs="?", const="", metavar="RESULTS",
                        help="print the tables of the last run (kept in bench/results/) as "
                             "markdown, and nothing else")


def main(argv):
    """The shell benchmarks' timer and report:

    python3 bench/benchkit.py median RUNS FOLDER COMMAND...: runs COMMAND `RUNS`
    times, each in FOLDER made empty first, and prints the median wall seconds,
    the median CPU seconds and the largest peak MB; a failing run prints what
    the tool said and ends with status 1.

    python3 bench/benchkit.py keep NAME COMMAND < REPORT: keeps the markdown
    REPORT of `COMMAND` as the results of bench/NAME (see Report).

    python3 bench/benchkit.py markdown NAME: prints them again."""
    if len(argv) == 2 and argv[0] == "markdown":
        return markdown(argv[1])
    if len(argv) == 3 and argv[0] == "keep":
        report = Report(argv[1])
        report.command = argv[2]
        report.machine = f"{len(os.sched_getaffinity(0))} cores"
        report.blocks.append({"text": sys.stdin.read().strip("\n") + "\n"})
        return report.save()
    if len(argv) < 4 or argv[0] != "median":
        sys.exit(main.__doc__)
    runs, folder, command = int(argv[1]), os.path.abspath(argv[2]), argv[3:]
    runner = Runner(folder + ".time")

    def once():
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return runner.pipeline([command], cwd=folder)

    r = median_runs(once, runs)
    if not r.ok:
        sys.exit(f"{' '.join(command)}: {r.cell()}")
    print(f"{r.seconds:.3f} {r.cpu:.3f} {r.peak_mb:.0f}")


if __name__ == "__main__":
    main(sys.argv[1:])
