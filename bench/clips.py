"""Animated GIFs from clips: kxquant against ffmpeg, gifsicle and ImageMagick;
see bench/clips."""

import argparse
import glob
import itertools
import os
import shutil
import subprocess
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageSequence

import benchkit as bk

ABOUT = {
    "title": "Animated GIFs",
    "measures": "Animated GIFs at 30 frames a second from a pan and zoom over a photograph "
                "(480 x 270, 90 frames), a screen recording with typed text and a moving pointer "
                "(640 x 400, 60 frames), ffmpeg's `mandelbrot` zoom (320 x 240, 90 frames) and a "
                "300-frame 640 x 360 mp4 (libx264; a pan over a photograph, then a still camera "
                "while a ball bounces across): kxquant from frame files (the mp4's extracted by "
                "ffmpeg inside the timed run), with its default dithering, with `-a`, and "
                "through ffmpeg's PPM and y4m pipes. Per clip and tool: bytes, PSNR over every "
                "decoded frame (Pillow composes the frames), butteraugli of every 10th frame, "
                "time and peak memory end to end (processes in a pipe add up). Then 1,800 "
                "frames of 1280 x 720 from ffmpeg's `testsrc2` through a pipe, never stored. "
                "With `--curve`, kxquant's `-Q` against gifski's at equal bytes on six clips "
                "(the pan, the pan under film grain, the screen recording, a flat-colour "
                "cellular animation, the fractal zoom, a sprite with soft alpha): for each of "
                "gifski's `-Q 30, 50, 70, 90, 100`, kxquant's settings within 5 % of its bytes, "
                "and a plot of both curves per clip (bench/results/gif-curves.png).",
    "peers": "ffmpeg's two-pass palette (`palettegen`/`paletteuse`, without and with its "
             "dithering), `gifsicle -O3` on kxquant's GIF, ImageMagick's `-layers Optimize`; "
             "with `--curve`, gifski 1.7.1 (the Linux binary of its npm package, fetched with "
             "`npm pack` into the work folder)",
    "takes": "about 15 minutes with `--runs 3` (ImageMagick on the mp4 alone takes a minute a "
             "run), and a minute more for the 1,800 frames (estimated); `--curve` about 13 "
             "minutes with `--runs 3`",
    "run": ["bench/clips --runs 3            # --clips pan,screen,fractal,video picks clips",
            "bench/clips --runs 1 --no-long  # without the 1,800 frames",
            "bench/clips --curve --runs 3     # kxquant -Q against gifski at equal bytes"],
}

FPS = 30
MATERIAL = "material-v2"  # change when the generated clips change
LOMIRI = "lomiri-wallpapers-16.04"
PAN_PHOTO = "/usr/share/backgrounds/aitzgorri_by_Aitzol_Berasategi.jpg"
VIDEO_PHOTO = "/usr/share/backgrounds/picosdeeuropa_by_Aitzol_Berasategi.jpg"

# ---- kxquant's command lines: change these when kxquant gains options ---------------
# The frame timing: --fps once kxquant has it, else the nearest --delay.
KX_TIMING = ["--fps", str(FPS)] if bk.kxquant_has("--fps") else ["--delay", str(1000 // FPS)]
# The plain rows stay undithered, as ffmpeg's plain two-pass is (kxquant dithers
# where it hides banding by default since it has --no-dither).
KX_PLAIN = ["--no-dither"] if bk.kxquant_has("--no-dither") else []
KX_GIF = [bk.KXQUANT, "-f", "-q"] + KX_PLAIN + KX_TIMING  # + ["-o", OUT.gif] + inputs
KX_GIF_DITHERED = [bk.KXQUANT, "-f", "-q", "-a"] + KX_TIMING
KX_GIF_DEFAULT = [bk.KXQUANT, "-f", "-q"] + KX_TIMING  # its adaptive dithering
KX_STDIN = "-"                                         # kxquant's name for standard input
# The rows judged against the targets: kxquant's GIF, its dithered GIFs (its
# default, which dithers where it hides banding, and -a), and its end-to-end
# run from a pipe.
KX_TARGETS = ("kxquant (frames on disk)",
              ("kxquant, default dithering (frames on disk)", "kxquant -a (frames on disk)"),
              "kxquant, PPM pipe from ffmpeg")
FF_PLAIN = "ffmpeg two-pass, no dithering"
FF_DITHERED = "ffmpeg two-pass, default dithering"


class Clip:
    """A clip's frames: PNG files (frames[i]) or an mp4 (video). `source` gives
    ffmpeg's input arguments."""

    def __init__(self, name, title, width, height, count, frames=None, video=None):
        self.name, self.title = name, title
        self.width, self.height, self.count = width, height, count
        self.frames, self.video = frames, video

    def source(self):
        if self.video:
            return ["-i", self.video]
        pattern = os.path.join(os.path.dirname(self.frames[0]), "f%03d.png")
        return ["-framerate", str(FPS), "-i", pattern]

    def reference(self):
        """The source frames as RGB arrays, in order: the PNGs, or the mp4 as
        ffmpeg decodes it (rgb24, its default conversion)."""
        if self.frames:
            for f in self.frames:
                yield bk.load_rgb(f)
            return
        size = self.width * self.height * 3
        proc = subprocess.Popen(["ffmpeg", "-v", "error", "-i", self.video, "-f", "rawvideo",
                                 "-pix_fmt", "rgb24", "-"], stdout=subprocess.PIPE)
        while True:
            data = proc.stdout.read(size)
            if len(data) < size:
                break
            yield np.frombuffer(data, np.uint8).reshape(self.height, self.width, 3)
        proc.stdout.close()
        proc.wait()


# ---- Material ---------------------------------------------------------------------------


def pan_frames(photo, width, height, count, zoom=(0.60, 0.45)):
    """A slow pan and zoom over a photograph: a window of zoom[0] of the
    photograph's width at the start, zoom[1] at the end, moving from left to right
    and a little down, resampled (bicubic) to width x height."""
    im = Image.open(photo).convert("RGB")
    scale = 4 * width / im.width  # work on a copy four times the output width
    im = im.resize((4 * width, round(im.height * scale)), Image.LANCZOS)
    aspect = height / width
    for i in range(count):
        t = i / max(1, count - 1)
        w = im.width * (zoom[0] + (zoom[1] - zoom[0]) * t)
        h = w * aspect
        x0 = (im.width - w) * (0.15 + 0.6 * t)
        y0 = (im.height - h) * (0.35 + 0.2 * t)
        yield im.transform((width, height), Image.EXTENT, (x0, y0, x0 + w, y0 + h),
                           Image.BICUBIC)


TYPED = ("def reduce(frames, colours=256):\n"
         "    palette = choose(frames, colours)\n"
         "    return [remap(f, palette) for f in frames]\n")


def screen_frames(count):
    """A screen recording, 640 x 400: a static editor window (title bar, a file
    list, line numbers), text typed two characters a frame with a caret, and the
    mouse pointer gliding across the window."""
    width, height = 640, 400
    base = Image.new("RGB", (width, height), (46, 52, 64))
    d = ImageDraw.Draw(base)
    d.rectangle((0, 0, width, 28), fill=(229, 233, 240))
    for i, c in enumerate([(236, 95, 87), (245, 190, 80), (98, 197, 84)]):
        d.ellipse((10 + 20 * i, 8, 22 + 20 * i, 20), fill=c)
    d.text((250, 6), "reduce.py — editor", font=bk.font(bk.FONT, 13), fill=(60, 60, 70))
    d.rectangle((0, 29, 150, height), fill=(59, 66, 82))
    for i, name in enumerate(["reduce.py", "palette.py", "remap.py", "README.md", "tests/",
                              "bench/", "setup.cfg"]):
        if i == 0:
            d.rectangle((0, 40 + 24 * i, 150, 62 + 24 * i), fill=(76, 86, 106))
        d.text((16, 44 + 24 * i), name, font=bk.font(bk.FONT, 13), fill=(216, 222, 233))
    mono = bk.font(bk.MONO, 14)
    for i in range(14):
        d.text((160, 44 + 20 * i), f"{i + 1:2d}", font=mono, fill=(100, 110, 130))
    pointer = [(0, 0), (0, 17), (4, 13), (7, 20), (10, 19), (7, 12), (12, 12)]
    for i in range(count):
        im = base.copy()
        d = ImageDraw.Draw(im)
        typed = TYPED[:min(len(TYPED), 2 * i)]
        for row, line in enumerate(typed.split("\n")):
            d.text((190, 44 + 20 * row), line, font=mono, fill=(236, 239, 244))
        rows = typed.split("\n")
        caret_x = 190 + int(d.textlength(rows[-1], font=mono))
        if (i // 8) % 2 == 0:
            d.rectangle((caret_x, 44 + 20 * (len(rows) - 1), caret_x + 1,
                         60 + 20 * (len(rows) - 1)), fill=(236, 239, 244))
        t = i / max(1, count - 1)
        px, py = 560 - 380 * t, 330 - 200 * t + 40 * np.sin(6.0 * t)
        shape = [(px + x, py + y) for x, y in pointer]
        d.polygon(shape, fill=(255, 255, 255), outline=(0, 0, 0))
        yield im


def make_frames(folder, frames):
    tmp = folder + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    for i, im in enumerate(frames):
        im.save(os.path.join(tmp, f"f{i + 1:03d}.png"))
    os.rename(tmp, folder)


def prepare(work, quick):
    """The clips, made once and kept in the work folder."""
    base = os.path.join(work, MATERIAL)
    os.makedirs(base, exist_ok=True)
    clips = []

    def frames_clip(name, title, w, h, count, make):
        folder = os.path.join(base, name)
        if not os.path.isdir(folder):
            make(folder)
        frames = sorted(glob.glob(os.path.join(folder, "f*.png")))
        clips.append(Clip(name, title, w, h, len(frames), frames=frames))

    frames_clip("fractal", "fractal zoom 320x240, 90 frames", 320, 240, 90,
                lambda folder: make_fractal(folder))
    if quick:
        return clips
    frames_clip("pan", "pan and zoom over a photograph 480x270, 90 frames", 480, 270, 90,
                lambda folder: make_frames(folder, pan_frames(PAN_PHOTO, 480, 270, 90)))
    frames_clip("screen", "screen recording 640x400, 60 frames", 640, 400, 60,
                lambda folder: make_frames(folder, screen_frames(60)))
    video = os.path.join(base, "video.mp4")
    if not os.path.exists(video):
        make_video(video)
    clips.append(Clip("video", "mp4 640x360, 300 frames (libx264: a pan, then a still camera)",
                      640, 360, 300, video=video))
    return clips


def make_fractal(folder):
    tmp = folder + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                    f"mandelbrot=size=320x240:rate={FPS}:end_pts=30", "-frames:v", "90",
                    os.path.join(tmp, "f%03d.png")], check=True)
    os.rename(tmp, folder)


def video_frames(photo, width, height, count):
    """A camera clip: a third of the frames pan over a photograph, then the camera
    holds still while a shaded ball with a soft shadow bounces across the scene
    (so that some frames change everywhere and others in a small part)."""
    moving = count // 3
    last = None
    # The first third of a slow ten-second pan.
    for im in itertools.islice(pan_frames(photo, width, height, count, zoom=(0.50, 0.45)),
                               moving):
        last = im
        yield im
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    still = np.asarray(last, np.float64)
    radius = height / 12
    for i in range(count - moving):
        t = i / max(1, count - moving - 1)
        cx = width * (0.1 + 0.8 * t)
        floor = height * 0.8
        cy = floor - radius - abs(np.sin(3 * np.pi * t)) * height * 0.45
        # The shadow on the ground: wider and fainter as the ball rises.
        lift = (floor - radius - cy) / (height * 0.45)
        sd = ((xx - cx) / (radius * (1.2 + 0.5 * lift))) ** 2 + ((yy - floor) / (radius * 0.3)) ** 2
        shadow = np.clip(1.2 - sd, 0, 1) * (0.45 - 0.25 * lift)
        frame = still * (1 - shadow[..., None])
        d = np.hypot(xx - cx, yy - cy)
        cover = np.clip(radius - d + 0.5, 0, 1)[..., None]  # antialiased edge
        light = np.clip(1 - np.hypot(xx - cx + radius / 3, yy - cy + radius / 3) / (1.6 * radius),
                        0, 1)[..., None]
        ball = np.array([200.0, 40.0, 40.0]) * (0.45 + 0.55 * light) + 255 * light ** 6 * 0.8
        frame = frame * (1 - cover) + np.clip(ball, 0, 255) * cover
        yield Image.fromarray(np.rint(frame).astype(np.uint8), "RGB")


def make_video(path):
    """300 frames of 640 x 360 from video_frames, encoded with libx264 (CRF 20,
    4:2:0) as a camera clip would be."""
    tmp = path[:-4] + ".tmp.mp4"
    proc = subprocess.Popen(["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
                             "-s", "640x360", "-r", str(FPS), "-i", "-", "-c:v", "libx264",
                             "-crf", "20", "-preset", "medium", "-pix_fmt", "yuv420p", tmp],
                            stdin=subprocess.PIPE)
    for im in video_frames(VIDEO_PHOTO, 640, 360, 300):
        proc.stdin.write(im.tobytes())
    proc.stdin.close()
    if proc.wait() != 0:
        sys.exit("could not make the mp4 clip with ffmpeg (libx264)")
    os.rename(tmp, path)


# ---- The tools ----------------------------------------------------------------------------


def tool_rows(clip, work):
    """(label, steps, output GIF) of every tool on `clip`. A step is a pipeline or
    a function that returns one. Frames on disk are the clip's PNGs, or for the
    mp4 PPM frames that ffmpeg extracts first (inside the timed run)."""
    out = lambda tag: os.path.join(work, f"{clip.name}-{tag}.gif")
    extract = os.path.join(work, "extracted")
    ff = ["ffmpeg", "-v", "error", "-y"]

    def on_disk(make):
        """Steps of a tool that reads frame files."""
        if clip.frames:
            return [[make(clip.frames)]]
        return [[["mkdir", "-p", extract]],
                [ff + clip.source() + [os.path.join(extract, "%04d.ppm")]],
                lambda: [make(sorted(glob.glob(os.path.join(extract, "*.ppm"))))]]

    palette = os.path.join(work, "palette.png")
    rows = [
        ("kxquant (frames on disk)",
         on_disk(lambda files: KX_GIF + ["-o", out("kx")] + files), out("kx")),
        ("kxquant -a (frames on disk)",
         on_disk(lambda files: KX_GIF_DITHERED + ["-o", out("kxa")] + files), out("kxa")),
        ("kxquant, default dithering (frames on disk)",
         on_disk(lambda files: KX_GIF_DEFAULT + ["-o", out("kxd")] + files), out("kxd")),
        ("kxquant, PPM pipe from ffmpeg",
         [[ff + clip.source() + ["-f", "image2pipe", "-c:v", "ppm", "-"],
           KX_GIF + ["-o", out("kxppm"), KX_STDIN]]], out("kxppm")),
        ("kxquant, y4m pipe from ffmpeg",
         [[ff + clip.source() + ["-pix_fmt", "yuv420p", "-f", "yuv4mpegpipe", "-"],
           KX_GIF + ["-o", out("kxy4m"), KX_STDIN]]], out("kxy4m")),
        ("kxquant, then gifsicle -O3", None, out("kxgs")),  # from the first row's GIF
        (FF_PLAIN,
         [[ff + clip.source() + ["-vf", "palettegen=stats_mode=diff", palette]],
          [ff + clip.source() + ["-i", palette, "-lavfi",
                                 "paletteuse=dither=none:diff_mode=rectangle", out("ffnd")]]],
         out("ffnd")),
        (FF_DITHERED,
         [[ff + clip.source() + ["-vf", "palettegen", palette]],
          [ff + clip.source() + ["-i", palette, "-lavfi", "paletteuse", out("ffd")]]],
         out("ffd")),
        ("ImageMagick -layers Optimize",
         on_disk(lambda files: ["convert", "-delay", str(100 // FPS), "-loop", "0"] + files
                 + ["-layers", "Optimize", out("im")]), out("im")),
    ]
    return rows


GIFSICLE = lambda src, dst: [[["gifsicle", "-O3", "-o", dst, src]]]


# ---- Scoring ------------------------------------------------------------------------------


def gif_frames(path):
    """The GIF's frames as shown, composed with their disposal and transparency
    (Pillow), as RGB arrays."""
    with Image.open(path) as im:
        for frame in ImageSequence.Iterator(im):
            yield np.asarray(frame.convert("RGB"))


def score(clip, gif, butteraugli, every=10):
    """(PSNR over all frames, mean butteraugli of every `every`-th frame, note)."""
    total, frames, scores = 0.0, 0, []
    decoded = gif_frames(gif)
    for i, ref in enumerate(clip.reference()):
        got = next(decoded, None)
        if got is None:
            break
        if got.shape != ref.shape:
            return None, None, f"frame {i + 1} is {got.shape[1]}x{got.shape[0]}"
        total += bk.mse(ref, got)
        frames += 1
        if i % every == 0:
            scores.append(butteraugli(ref, got))
    extra = sum(1 for _ in decoded)
    note = "" if frames == clip.count and extra == 0 else \
        f" ({frames + extra} frames of {clip.count})"
    if frames == 0:
        return None, None, "no frames"
    return bk.psnr_of_mse(total / frames), bk.mean(scores), note


def main():
    ap = argparse.ArgumentParser(description="GIFs from clips: kxquant and its peers")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per tool (median)")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-clips"),
                    help="work folder (material, outputs, logs)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: the fractal clip only, one run, no 1,800-frame case")
    ap.add_argument("--clips", default="", help="comma-separated clip names (default: all)")
    ap.add_argument("--no-long", action="store_true", help="leave out the 1,800-frame case")
    ap.add_argument("--curve", action="store_true",
                    help="kxquant's -Q against gifski's at equal bytes on six clips instead "
                         "(see clips_curve.py)")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("clips", args.markdown or None, order=("", "curve"))
    if args.curve:
        import clips_curve
        args.out = os.path.abspath(args.out)
        return clips_curve.run(args)
    if args.quick:
        args.runs = 1
        args.no_long = True
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install(["ffmpeg", "gifsicle", "imagemagick", "butteraugli", "fonts-dejavu-core", LOMIRI],
               "bench/clips")
    clips = prepare(args.out, args.quick)
    if args.clips:
        clips = [c for c in clips if c.name in args.clips.split(",")]
    work = os.path.join(args.out, "out")
    os.makedirs(work, exist_ok=True)
    runner = bk.Runner(args.out)
    butteraugli = bk.Butteraugli(os.path.join(args.out, "runs"))
    # A smoke test keeps its results in the work folder, not beside the scripts.
    report = bk.Report("clips", "", os.path.join(args.out, "results.json") if args.quick else None)

    report.line(f"GIFs at {FPS} frames a second; kxquant: `{' '.join(KX_GIF[1:])}`. Every tool "
                f"with its defaults (kxquant and ffmpeg use every core); time and peak memory of "
                f"the whole process chain (processes in a pipe add up), median of {args.runs} "
                "run(s); PSNR over all frames decoded (Pillow, frames composed), butteraugli mean "
                "of every 10th frame.\n")
    results = {}  # (clip, tool) -> {"run": Result, "bytes", "psnr", "ba"}
    for clip in clips:
        report.line(f"### {clip.title}\n")
        rows = []
        for label, steps, gif in tool_rows(clip, work):
            if steps is None:  # gifsicle on kxquant's GIF
                kx = results.get((clip.name, "kxquant (frames on disk)"), {}).get("run")
                if kx is None or not kx.ok:
                    rows.append([label, "fails: no kxquant GIF"] + [""] * 5)
                    continue
                g = bk.median_runs(lambda: runner.steps(
                    GIFSICLE(os.path.join(work, f"{clip.name}-kx.gif"), gif)), args.runs)
                r = bk.Result(kx.seconds + g.seconds, max(kx.peak_mb, g.peak_mb), 0, "",
                              kx.cpu + g.cpu) if g.ok else g
            else:
                r = bk.median_runs(lambda: cleanup(runner.steps(steps), work), args.runs)
            results[(clip.name, label)] = {"run": r}
            if not r.ok or not os.path.exists(gif):
                rows.append([label, r.cell() if not r.ok else "fails: no GIF"] + [""] * 5)
                continue
            size = os.path.getsize(gif)
            p, b, note = score(clip, gif, butteraugli)
            results[(clip.name, label)].update(bytes=size, psnr=p, ba=b)
            rows.append([label, f"{size:,}", "", (bk.fmt(p) + note) if p else note,
                         bk.fmt(b), bk.seconds_cell(r), f"{r.peak_mb:.0f}"])
        ref = results.get((clip.name, FF_PLAIN), {}).get("bytes")
        for row in rows:
            if row[1] and row[1][0].isdigit() and ref:
                row[2] = bk.ratio(int(row[1].replace(",", "")), ref)
        report.table(["tool", "bytes", "bytes / ffmpeg no dithering", "PSNR dB",
                      "butteraugli (mean)", "time s (CPU s)", "peak MB"], rows, right=range(1, 7))
        for f in glob.glob(os.path.join(work, f"{clip.name}-*.gif")):
            os.remove(f)
    long = None if args.no_long else long_pipe(runner, work, report)
    print_targets(results, clips, long, report)
    report.save()


def print_targets(results, clips, long, report):
    """kxquant's rows of KX_TARGETS against ffmpeg, with the targets in brackets."""
    report.line("### kxquant against ffmpeg (targets in brackets)\n")
    plain, dithered_rows, piped = KX_TARGETS
    for clip in clips:
        kx = results.get((clip.name, plain), {})
        ff = results.get((clip.name, FF_PLAIN), {})
        ffd = results.get((clip.name, FF_DITHERED), {})
        if kx.get("bytes") and ff.get("bytes"):
            report.line(f"- {clip.name}: {plain}: bytes {kx['bytes'] / ff['bytes']:.2f}x "
                        f"ffmpeg's two-pass without dithering [<= 1], PSNR "
                        f"{kx['psnr'] - ff['psnr']:+.2f} dB [>= 0]")
        else:
            report.line(f"- {clip.name}: {plain} or ffmpeg without dithering failed")
        for dithered in dithered_rows:
            kxa = results.get((clip.name, dithered), {})
            if kxa.get("bytes") and ffd.get("bytes"):
                report.line(f"- {clip.name}: {dithered}: bytes {kxa['bytes'] / ffd['bytes']:.2f}x "
                            f"ffmpeg's default dithering [<= 1], butteraugli {kxa['ba']:.2f} "
                            f"against {ffd['ba']:.2f} [at or below]")
            else:
                report.line(f"- {clip.name}: {dithered} or ffmpeg's default dithering failed")
    video = results.get(("video", piped), {}).get("run")
    ff = results.get(("video", FF_PLAIN), {}).get("run")
    if video and ff and ff.ok:
        report.line(f"- video, end to end: {piped} "
                    + (f"{video.seconds:.2f} s (CPU {video.cpu:.2f} s)" if video.ok
                       else video.cell())
                    + f", ffmpeg's two-pass without dithering {ff.seconds:.2f} s "
                    f"(CPU {ff.cpu:.2f} s) [no slower]")
    if long:
        report.line("- 1,800 frames of 1280x720 through a pipe: kxquant's peak memory "
                    + (f"{long:.0f} MB" if isinstance(long, float) else long) + " [< 300 MB]")
    report.line()


def cleanup(result, work):
    shutil.rmtree(os.path.join(work, "extracted"), ignore_errors=True)
    return result


def long_pipe(runner, work, report):
    """1,800 frames of 1280 x 720 from ffmpeg's testsrc2, generated on the fly
    (never stored): kxquant through a pipe against ffmpeg's two-pass (which
    generates the frames twice)."""
    # The source ends by itself (palettegen writes its palette only at the end).
    src = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
           f"testsrc2=size=1280x720:rate={FPS}:duration={1800 // FPS}"]
    gif = os.path.join(work, "long.gif")
    palette = os.path.join(work, "palette.png")
    report.line("### 1,800 frames of 1280x720 through a pipe (ffmpeg testsrc2, never stored)\n")
    rows, kx_peak = [], None
    for label, steps in [
            ("kxquant, PPM pipe from ffmpeg",
             [[src + ["-f", "image2pipe", "-c:v", "ppm", "-"], KX_GIF + ["-o", gif, KX_STDIN]]]),
            ("ffmpeg two-pass, no dithering",
             [[src + ["-vf", "palettegen=stats_mode=diff", palette]],
              [src + ["-i", palette, "-lavfi", "paletteuse=dither=none:diff_mode=rectangle",
                      gif]]])]:
        r = runner.steps(steps)
        peaks = runner.last_peaks
        if not r.ok or not os.path.exists(gif):
            rows.append([label, r.cell() if not r.ok else "fails: no GIF", "", "", ""])
        else:
            rows.append([label, f"{os.path.getsize(gif):,}", bk.seconds_cell(r),
                         f"{r.peak_mb:.0f}", " + ".join(f"{p:.0f}" for p in peaks)])
        if kx_peak is None:  # the first row is kxquant's; its own process is the last
            kx_peak = peaks[-1] if r.ok else r.cell()
        if os.path.exists(gif):
            os.remove(gif)
    report.table(["tool", "bytes", "time s (CPU s)", "peak MB", "per process (last step) MB"], rows,
                 right=range(1, 5))
    return kx_peak


if __name__ == "__main__":
    main()
