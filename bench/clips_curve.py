"""`bench/clips --curve`: kxquant's GIFs against gifski's at equal bytes, on six
clips. gifski (1.7.1, the Linux binary of its npm package) at -Q 30, 50, 70,
90 and 100; for each of its outputs, kxquant's -Q is searched (bisection on
the bytes) at -n 256, 128, 64 and 32 for the settings nearest its bytes, and
those within 5 % are scored. Scores: PSNR over all frames, mean butteraugli
of 8 evenly spaced frames (a sprite's frames over white). Prints a table per
clip, the times at gifski's -Q 90 (with ffmpeg's two passes), and plots both
curves of every clip into bench/results/gif-curves.png."""

import glob
import os
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageSequence

import benchkit as bk
import clips as cl

GIFSKI_VERSION = "1.7.1"
GIFSKI_POINTS = (30, 50, 70, 90, 100)
KX_COLOURS = (256, 128, 64, 32)
MATCH = 0.05  # a kxquant setting within 5 % of gifski's bytes
SCORED_FRAMES = 8
PLOT = os.path.join(bk.RESULTS, "gif-curves.png")
MATERIAL = "curve-v2"  # change when the generated clips change


# ---- The clips ------------------------------------------------------------------------------


def grain_frames(frames, sigma=6.0, seed=1):
    """The frames under film grain: Gaussian noise on the luma, new every frame."""
    rng = np.random.default_rng(seed)
    for im in frames:
        a = np.asarray(im, np.float64)
        noise = rng.normal(0, sigma, a.shape[:2])[..., None]
        yield Image.fromarray(np.clip(np.rint(a + noise), 0, 255).astype(np.uint8), "RGB")


def flat_frames(count, width=320, height=240, cell=8):
    """A flat-colour cellular animation: Conway's life on a wrapped grid, each
    cell coloured by its age from a palette of six, over a plain background."""
    rng = np.random.default_rng(7)
    gw, gh = width // cell, height // cell
    alive = rng.random((gh, gw)) < 0.3
    age = alive.astype(np.int32)
    colours = np.array([(24, 28, 48), (250, 200, 60), (240, 120, 50), (200, 60, 90),
                        (110, 70, 170), (60, 140, 200), (70, 190, 140)], np.uint8)
    for _ in range(count):
        index = np.where(alive, 1 + np.minimum(age - 1, 5), 0)
        big = np.kron(index, np.ones((cell, cell), np.int32))
        # A one-pixel border between cells, in the background colour.
        big[::cell, :] = 0
        big[:, ::cell] = 0
        yield Image.fromarray(colours[big], "RGB")
        n = sum(np.roll(np.roll(alive, dy, 0), dx, 1) for dy in (-1, 0, 1) for dx in (-1, 0, 1)
                if dy or dx)
        alive = (n == 3) | (alive & (n == 2))
        age = np.where(alive, age + 1, 0)


def sprite_frames(count, size=200):
    """A sprite with soft alpha on a transparent background: a shaded ball
    bouncing in place above a blurred shadow that widens and fades as it
    rises."""
    for i in range(count):
        t = i / count
        lift = abs(np.sin(np.pi * t))
        im = Image.new("RGBA", (size, size), (0, 0, 0, 0))
        shadow = Image.new("L", (size, size), 0)
        w = 36 + 24 * lift
        ImageDraw.Draw(shadow).ellipse((size / 2 - w, 168, size / 2 + w, 184),
                                       fill=int(150 - 90 * lift))
        shadow = shadow.filter(ImageFilter.GaussianBlur(6))
        im.paste((0, 0, 0, 255), (0, 0), shadow)
        cy = 140 - 100 * lift
        yy, xx = np.mgrid[0:size, 0:size].astype(np.float64)
        d = np.hypot(xx - size / 2, yy - cy)
        cover = np.clip(30 - d + 0.5, 0, 1)
        light = np.clip(1 - np.hypot(xx - size / 2 + 10, yy - cy + 10) / 48, 0, 1)
        ball = np.stack([60 + 180 * light, 120 + 120 * light, 220 + 35 * light], -1)
        ball = np.clip(ball + 255 * light[..., None] ** 6 * 0.6, 0, 255)
        # The ball over the shadow, straight (not premultiplied) colours.
        a = np.asarray(im, np.float64)
        below = a[..., 3] / 255 * (1 - cover)
        alpha = cover + below
        rgb = (ball * cover[..., None] + a[..., :3] * below[..., None]) / \
            np.maximum(alpha, 1e-9)[..., None]
        yield Image.fromarray(np.dstack([rgb, 255 * alpha]).round().astype(np.uint8), "RGBA")


def prepare(work, names):
    base = os.path.join(work, MATERIAL)
    os.makedirs(base, exist_ok=True)
    pan = lambda: cl.pan_frames(cl.PAN_PHOTO, 480, 270, 90)
    makers = {
        "pan": ("pan and zoom over a photograph 480x270, 90 frames", pan),
        "grain": ("the same pan under film grain (sigma 6 on luma)", lambda: grain_frames(pan())),
        "screen": ("screen recording 640x400, 60 frames", lambda: cl.screen_frames(60)),
        "flat": ("flat-colour cellular animation 320x240, 60 frames", lambda: flat_frames(60)),
        "fractal": ("fractal zoom 320x240, 90 frames", None),
        "sprite": ("sprite with soft alpha and shadow 200x200, 40 frames",
                   lambda: sprite_frames(40)),
    }
    clips = []
    for name, (title, make) in makers.items():
        if names and name not in names:
            continue
        folder = os.path.join(base, name)
        if not os.path.isdir(folder):
            if make is None:
                cl.make_fractal(folder)
            else:
                cl.make_frames(folder, make())
        frames = sorted(glob.glob(os.path.join(folder, "f*.png")))
        first = Image.open(frames[0])
        clips.append(cl.Clip(name, title, first.width, first.height, len(frames), frames=frames))
    return clips


# ---- The tools ------------------------------------------------------------------------------


def gifski_binary(work):
    """gifski's Linux binary from its npm package, unpacked in the work folder."""
    folder = os.path.join(work, "gifski")
    binary = os.path.join(folder, "package", "bin", "debian", "gifski")
    if not os.path.exists(binary):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["npm", "pack", "--silent", f"gifski@{GIFSKI_VERSION}"], cwd=folder,
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["tar", "xzf", f"gifski-{GIFSKI_VERSION}.tgz"], cwd=folder, check=True)
    return binary


def reference(clip):
    """The frames as scored: RGB, or a sprite's RGBA over white."""
    for f in clip.frames:
        im = Image.open(f)
        yield bk.composite(np.asarray(im.convert("RGBA")), 255) if "A" in im.mode else \
            np.asarray(im.convert("RGB"))


def shown(gif):
    with Image.open(gif) as im:
        for frame in ImageSequence.Iterator(im):
            yield bk.composite(np.asarray(frame.convert("RGBA")), 255)


def score(clip, gif, butteraugli):
    """(PSNR over all frames, mean butteraugli of SCORED_FRAMES evenly spaced)."""
    picked = {round(i * (clip.count - 1) / (SCORED_FRAMES - 1)) for i in range(SCORED_FRAMES)}
    total, frames, scores = 0.0, 0, []
    for i, (ref, got) in enumerate(zip(reference(clip), shown(gif))):
        total += bk.mse(ref, got)
        frames += 1
        if i in picked:
            scores.append(butteraugli(ref, got))
    if frames != clip.count:
        return float("nan"), float("nan")
    return bk.psnr_of_mse(total / frames), bk.mean(scores)


class Curves:
    """The GIFs of one clip: gifski's and kxquant's, their bytes and scores,
    each made once."""

    def __init__(self, clip, work, runner, butteraugli, gifski):
        self.clip, self.work, self.runner = clip, work, runner
        self.butteraugli, self.gifski = butteraugli, gifski
        self.bytes, self.scores, self.runs = {}, {}, {}

    def path(self, key):
        return os.path.join(self.work, f"{self.clip.name}-" + "-".join(map(str, key)) + ".gif")

    def command(self, key):
        out = self.path(key)
        if key[0] == "gifski":
            return [self.gifski, "-q", "--fps", str(cl.FPS), "-Q", str(key[1]), "-o", out] + \
                self.clip.frames
        colours, quality = key[1:]
        return [bk.KXQUANT, "-q", "-f", "--fps", str(cl.FPS), "-n", str(colours), "-Q",
                str(quality), "-o", out] + self.clip.frames

    def size(self, key):
        if key not in self.bytes:
            r = self.runner.pipeline([self.command(key)])
            if not r.ok:
                sys.exit(f"{' '.join(self.command(key)[:9])}: {r.cell()}")
            self.runs[key] = r
            self.bytes[key] = os.path.getsize(self.path(key))
        return self.bytes[key]

    def score(self, key):
        if key not in self.scores:
            self.size(key)
            self.scores[key] = score(self.clip, self.path(key), self.butteraugli)
        return self.scores[key]

    def nearest(self, colours, target):
        """kxquant's highest -Q at `colours` whose bytes are at most `target`
        (else 0): bytes grow with the quality, so a bisection over 0 to 100."""
        low, high = 0, 100
        if self.size(("kx", colours, high)) <= target:
            return high
        if self.size(("kx", colours, low)) > target:
            return low
        while high - low > 1:
            mid = (low + high) // 2
            if self.size(("kx", colours, mid)) > target:
                high = mid
            else:
                low = mid
        return low


def clip_table(curves, report):
    """Per gifski point: its bytes and scores, and kxquant's best setting within
    5 % of its bytes (lowest butteraugli); whether it beats gifski on both."""
    rows, wins = [], 0
    for q in GIFSKI_POINTS:
        g = ("gifski", q)
        target = curves.size(g)
        gp, gb = curves.score(g)
        near = []
        for n in KX_COLOURS:
            # The most bytes allowed, and the nearest below gifski's own.
            for limit in ((1 + MATCH) * target, target):
                key = ("kx", n, curves.nearest(n, limit))
                if abs(curves.size(key) - target) <= MATCH * target and key not in near:
                    near.append(key)
        scored = [(curves.score(k)[1], k) for k in near]
        row = [f"-Q {q}", f"{target:,}", bk.fmt(gp), bk.fmt(gb)]
        # Where every kxquant setting is smaller, its best below gifski's bytes
        # stands in: a curve that beats a point from fewer bytes is below it.
        fewer = [] if scored else [(curves.score(k)[1], k) for k in curves.bytes
                                   if k[0] == "kx" and curves.bytes[k] < target]
        if not scored and not fewer:
            least = min(curves.bytes[k] for k in curves.bytes if k[0] == "kx")
            most = max(curves.bytes[k] for k in curves.bytes if k[0] == "kx")
            row += [f"none within 5 % (kxquant spans {least:,} to {most:,})", "", "", "", ""]
        else:
            b, key = min(scored or fewer)
            p = curves.score(key)[0]
            better = b < gb and p > gp
            wins += better
            # Both exact (butteraugli 0, PSNR at its cap) is a tie, not a win.
            verdict = "yes" if better else "tie, both exact" if b == gb == 0 else "no"
            setting = f"-n {key[1]} -Q {key[2]}" + ("" if scored else ", fewer bytes")
            row += [setting, f"{curves.size(key):,}", bk.fmt(p), bk.fmt(b), verdict]
        rows.append(row)
    report.table(["gifski", "bytes", "PSNR dB", "butteraugli", "kxquant within 5 % (or below)", "bytes",
                  "PSNR dB", "butteraugli", "better on both"], rows, right=range(1, 9))
    return wins


def timing(curves, runner, args, report):
    """gifski -Q 90 against kxquant's setting nearest its bytes at 256 colours and
    ffmpeg's two passes: median times and peak memory."""
    clip, work = curves.clip, curves.work
    kx = ("kx", 256, curves.nearest(256, (1 + MATCH) * curves.size(("gifski", 90))))
    palette = os.path.join(work, "palette.png")
    ff = ["ffmpeg", "-v", "error", "-y"] + clip.source()
    out = os.path.join(work, "ff.gif")
    rows = []
    for label, steps in [
            ("gifski -Q 90", [[curves.command(("gifski", 90))]]),
            (f"kxquant -n 256 -Q {kx[2]}", [[curves.command(kx)]]),
            ("ffmpeg two-pass", [[ff + ["-vf", "palettegen=stats_mode=diff", palette]],
                                 [ff + ["-i", palette, "-lavfi",
                                        "paletteuse=dither=none:diff_mode=rectangle", out]]])]:
        r = bk.median_runs(lambda: runner.steps(steps), args.runs)
        rows.append((label, r))
    g = rows[0][1]
    report.table(["tool", "time s (CPU s)", "peak MB", "time / kxquant's"],
                 [[label, bk.seconds_cell(r), f"{r.peak_mb:.0f}",
                   bk.ratio(r.seconds, rows[1][1].seconds)] for label, r in rows],
                 right=range(1, 4))
    return g, rows[1][1], rows[2][1]


def plot(all_curves):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cols = 3
    rows = (len(all_curves) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 4 * rows), squeeze=False)
    for ax, curves in zip(axes.flat, all_curves):
        g = sorted((curves.bytes[k], curves.scores[k][1], k[1]) for k in curves.scores
                   if k[0] == "gifski")
        ax.plot([b / 1e3 for b, _, _ in g], [s for _, s, _ in g], "o-", color="black",
                label="gifski -Q 30..100")
        for n, colour in zip(KX_COLOURS, ("tab:blue", "tab:orange", "tab:green", "tab:red")):
            k = sorted((curves.bytes[k], curves.scores[k][1]) for k in curves.scores
                       if k[0] == "kx" and k[1] == n)
            if k:
                ax.plot([b / 1e3 for b, _ in k], [s for _, s in k], "s--", color=colour,
                        label=f"kxquant -n {n}")
        ax.set_xscale("log")
        ax.set_title(curves.clip.name)
        ax.set_xlabel("kB")
        ax.set_ylabel("butteraugli (lower is better)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    for ax in list(axes.flat)[len(all_curves):]:
        ax.axis("off")
    fig.tight_layout()
    fig.savefig(PLOT + ".tmp.png", dpi=80)
    plt.close(fig)
    os.replace(PLOT + ".tmp.png", PLOT)


def run(args):
    bk.install(["ffmpeg", "butteraugli", "fonts-dejavu-core", "python3-matplotlib", cl.LOMIRI],
               "bench/clips --curve")
    clips = prepare(args.out, args.clips.split(",") if args.clips else [])
    work = os.path.join(args.out, "curve")
    os.makedirs(work, exist_ok=True)
    gifski = gifski_binary(args.out)
    runner = bk.Runner(args.out)
    butteraugli = bk.Butteraugli(os.path.join(args.out, "runs"))
    report = bk.Report("clips", "curve")
    report.line(f"kxquant's GIFs against gifski {GIFSKI_VERSION} (its npm package's binary) at "
                f"{cl.FPS} frames a second. For each of gifski's -Q {GIFSKI_POINTS}, kxquant's highest -Q "
                f"at most 5 % over its bytes, and at most its bytes, at -n "
                f"{', '.join(map(str, KX_COLOURS))} (bisection); the best of those within 5 % of "
                f"its bytes by butteraugli (mean of "
                f"{SCORED_FRAMES} evenly spaced frames, over white), PSNR over all frames; "
                f"where no kxquant setting comes within 5 % because all are smaller, the best "
                f"of those below gifski's bytes. "
                f"Times: median of {args.runs} run(s).\n")
    all_curves, summary = [], []
    for clip in clips:
        report.line(f"### {clip.title}\n")
        curves = Curves(clip, work, runner, butteraugli, gifski)
        wins = clip_table(curves, report)
        g, k, f = timing(curves, runner, args, report)
        summary.append([clip.name, f"{wins} of {len(GIFSKI_POINTS)}",
                        bk.ratio(g.seconds, k.seconds), bk.ratio(k.seconds, f.seconds),
                        bk.ratio(k.peak_mb, g.peak_mb)])
        curves.score(("kx", 256, 100))  # kxquant's lossless GIF, for the plot
        all_curves.append(curves)
        for gif in glob.glob(os.path.join(work, f"{clip.name}-*.gif")):
            os.remove(gif)
    report.line("### Summary\n")
    report.table(["clip", "gifski points beaten on both scores", "gifski -Q 90 time / kxquant's",
                  "kxquant time / ffmpeg's", "kxquant peak / gifski's"], summary,
                 right=range(1, 5))
    plot(all_curves)
    report.line(f"Curves: {os.path.relpath(PLOT, bk.ROOT)}\n")
    report.save()
