"""Photographs and screenshots as shipped: kxquant against pngquant by look and
bytes; see bench/shipped."""

import argparse
import os
import shutil
import subprocess

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

import benchkit as bk

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
BACKGROUNDS = "/usr/share/backgrounds"
# Photograph crops: (name, file of lomiri-wallpapers-16.04, where the 1024 x 768
# crop sits in the photograph scaled to 2048 pixels wide, as fractions of the
# room left and right, above and below).
PHOTOS = [
    ("bridge", "Bridge_by_Sander_Klootwijk.jpg", (0.35, 0.0)),
    ("fig", "Picture_0B_by_freespace.jpg", (0.5, 0.5)),
    ("sunset", "sunset_by_Aitzol_Berasategi.jpg", (0.4, 0.35)),
    ("lamp", "free_by_Peter_Nerlich.jpg", (0.55, 0.35)),
]
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
MONO = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"


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


def font(path, size):
    try:
        return ImageFont.truetype(path, size)
    except OSError:
        return ImageFont.load_default()


def photo_crop(file, where):
    im = Image.open(os.path.join(BACKGROUNDS, file)).convert("RGB")
    im = im.resize((2048, round(im.height * 2048 / im.width)), Image.LANCZOS)
    x = round((im.width - 1024) * where[0])
    y = round((im.height - 768) * where[1])
    return im.crop((x, y, x + 1024, y + 768))


def card_shadow(canvas, box, radius, blur, opacity, dy):
    layer = Image.new("RGBA", canvas.size, (0, 0, 0, 0))
    x0, y0, x1, y1 = box
    ImageDraw.Draw(layer).rounded_rectangle((x0, y0 + dy, x1, y1 + dy), radius,
                                            fill=(20, 30, 60, opacity))
    canvas.alpha_composite(layer.filter(ImageFilter.GaussianBlur(blur)))


def web_page(photo):
    """A web page at twice the size, reduced by 2 (as a HiDPI screen shows it):
    header, a hero gradient, cards with blurred shadows, a photo thumbnail."""
    s = 2
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
    return im.convert("RGB").reduce(s)


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


def prepare(work, quick):
    """Photograph crops and screenshots as PNG files, made once."""
    base = os.path.join(work, MATERIAL)
    if not os.path.isdir(base):
        tmp = base + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        crops = {}
        for name, file, where in PHOTOS:
            crops[name] = photo_crop(file, where)
            crops[name].save(os.path.join(tmp, f"photo-{name}.png"))
        web_page(crops["fig"]).save(os.path.join(tmp, "screen-web.png"))
        code_editor().save(os.path.join(tmp, "screen-code.png"))
        dashboard().save(os.path.join(tmp, "screen-dashboard.png"))
        for name, im in zip(("blend", "vignette"), gradients()):
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
    args = ap.parse_args()
    if args.quick:
        args.runs = 1
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install(["pngquant", "optipng", "butteraugli", "fonts-dejavu-core", LOMIRI,
                "ukui-wallpapers"], "bench/shipped")
    sets = prepare(args.out, args.quick)
    colours = [64] if args.quick else COLOURS
    runner = bk.Runner(args.out)
    if args.speed_only:
        speed(runner, args.out, args.runs, 1 if args.quick else None)
        return
    butteraugli = bk.Butteraugli(os.path.join(args.out, "runs"))

    print("Whole process per picture (median of %d run(s)), every tool with its defaults; "
          "butteraugli (lower is better) and PSNR against the original; optipng: the percent "
          "`optipng -o2` removes from the tool's file; moved: the percent of pixels that are "
          "not the palette entry nearest to their original colour.\n" % args.runs)
    print("kxquant rows: " + "; ".join(f"{label}: `{' '.join(['kxquant', '-n', 'N'] + extra)}`"
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
    print("### Per set (means over the pictures)\n")
    bk.table(["set", "colours", "tool", "butteraugli mean", "butteraugli worst", "PSNR dB",
              "mean bytes", "s per picture (CPU s)", "optipng -o2 gain %", "moved %"], rows,
             right=range(3, 10))

    print("### Per picture: butteraugli, bytes, moved %\n")
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
    bk.table(["picture", "colours"] + labels, detail, right=[1])
    print_targets(results, sets, colours)
    if not args.no_speed:
        speed(runner, args.out, args.runs, 1 if args.quick else None)


def print_targets(results, sets, colours):
    print("### kxquant against pngquant (targets in brackets)\n")
    for set_name, _ in sets:
        for n in colours:
            kx = results.get((set_name, n, KXQUANT_ROWS[0][0]))
            pq = results.get((set_name, n, "pngquant"))
            kxn = results.get((set_name, n, UNDITHERED[0]))
            if any(isinstance(x, str) or x is None for x in (kx, pq, kxn)):
                print(f"- {set_name}, {n} colours: no comparison (a tool failed)")
                continue
            print(f"- {set_name}, {n} colours: kxquant's default butteraugli mean "
                  f"{bk.mean(p['ba'] for p in kx):.2f} against pngquant's "
                  f"{bk.mean(p['ba'] for p in pq):.2f}, worst {max(p['ba'] for p in kx):.2f} "
                  f"against {max(p['ba'] for p in pq):.2f} [at or below]; mean bytes "
                  f"{bk.mean(p['bytes'] for p in kx) / bk.mean(p['bytes'] for p in pq):.2f}x "
                  f"pngquant's [<= 0.9]; optipng -o2 finds "
                  f"{bk.mean(p['optipng'] for p in kxn):.1f}% more in kxquant's files without "
                  "dithering [<= 1]")
    # The targets' own scope: every photograph and screenshot at a colour count
    # (the gradients are a harder case of our own, reported above).
    for n in colours:
        per = {label: [p for set_name, _ in sets[:2]
                       if isinstance(results.get((set_name, n, label)), list)
                       for p in results[(set_name, n, label)]]
               for label in (KXQUANT_ROWS[0][0], "pngquant")}
        kx, pq = per[KXQUANT_ROWS[0][0]], per["pngquant"]
        if kx and pq:
            print(f"- photographs and screenshots together, {n} colours: butteraugli mean "
                  f"{bk.mean(p['ba'] for p in kx):.2f} against {bk.mean(p['ba'] for p in pq):.2f},"
                  f" worst {max(p['ba'] for p in kx):.2f} against "
                  f"{max(p['ba'] for p in pq):.2f} [at or below]; mean bytes "
                  f"{bk.mean(p['bytes'] for p in kx) / bk.mean(p['bytes'] for p in pq):.2f}x "
                  "pngquant's [<= 0.9]")
    print()


def wallpapers():
    """The 9 MP pictures: ukui-wallpapers' renders and lomiri's photographs."""
    found = []
    for package in ("ukui-wallpapers", LOMIRI):
        listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
        found += sorted(f for f in listed.stdout.split()
                        if f.startswith(BACKGROUNDS + "/") and f.endswith((".jpg", ".png")))
    return [f for f in found if Image.open(f).size[0] * Image.open(f).size[1] >= 8_500_000]


def cells(r):
    """Time and peak memory of a run, or its failure."""
    return [bk.seconds_cell(r, 3), f"{r.peak_mb:.0f}"] if r.ok else [r.cell(), ""]


def ratios(kx, pq):
    """pngquant's time over kxquant's, wall (CPU)."""
    if not (kx.ok and pq.ok):
        return [""]
    return [f"{bk.ratio(pq.seconds, kx.seconds)} ({bk.ratio(pq.cpu, kx.cpu)})"]


def speed(runner, work, runs, limit):
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
        print("(no wallpapers: install ukui-wallpapers)\n")
        return
    print(f"### 9 MP pictures (ukui-wallpapers' renders, lomiri's photographs), 256 colours, "
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
    bk.table(["picture", "size", "kxquant s (CPU s)", "peak MB", "pngquant s (CPU s)", "peak MB",
              "pngquant / kxquant [>= 3]"], rows, right=range(2, 7))


if __name__ == "__main__":
    main()
