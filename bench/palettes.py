"""Palette or dithering: which of the two decides a photograph where pngquant
looks better? See bench/palettes."""

import argparse
import os
import subprocess

import numpy as np
from PIL import Image

import benchkit as bk
import photos

ABOUT = {
    "title": "Palette or dithering",
    "measures": "On the photographs of `bench/photos`, each tool's palette with the other's "
                "remapping: pngquant's palette remapped by kxquant's dithering "
                "(`kxquant.remap`), and kxquant's palette remapped by pngquant's "
                "(`pngquant --map`); and kxquant's palette of the picture whose smoothest "
                "pixels (the mean contrast of their 9 x 9 window below 8 levels) are counted "
                "twice, remapped by kxquant: a small change of the palette, which shows how "
                "far butteraugli's largest distance moves with the palette alone. Every "
                "cell is butteraugli divided by pngquant's default on the same picture.",
    "peers": "pngquant (its default, and `--map` with kxquant's palette)",
    "takes": "about 7 minutes for 18 pictures at 256 and 64 colours (measured with the "
             "machine's two cores busy elsewhere), after the build and the package's install",
    "run": ["bench/palettes --colours 256,64   # builds, installs the package in "
            "build/python-venv, runs it"],
}


def palette_of(png):
    with Image.open(png) as im:
        used = len(im.getcolors(256))
        return np.array(im.getpalette()[:3 * used], np.uint8).reshape(-1, 3)


def smooth_doubled(pixels):
    """The picture with its smoothest pixels appended once more, as rows of the
    same width (the last pixel repeated to fill the last row)."""
    p = pixels.astype(np.int16)
    contrast = np.zeros(p.shape[:2], np.int16)
    contrast[:, :-1] = np.abs(p[:, 1:] - p[:, :-1]).max(2)
    contrast[:-1] = np.maximum(contrast[:-1], np.abs(p[1:] - p[:-1]).max(2))
    c = np.pad(contrast.astype(np.int64), 4, mode="edge").cumsum(0).cumsum(1)
    c = np.pad(c, ((1, 0), (1, 0)))
    h, w = contrast.shape
    window = (c[9:9 + h, 9:9 + w] - c[:h, 9:9 + w] - c[9:9 + h, :w] + c[:h, :w]) / 81
    extra = pixels[window < 8]
    flat = np.concatenate([pixels.reshape(-1, 3), extra])
    fill = -len(flat) % w
    return np.concatenate([flat, np.repeat(flat[-1:], fill, 0)]).reshape(-1, w, 3)


def main():
    ap = argparse.ArgumentParser(description="each tool's palette with the other's remapping")
    ap.add_argument("--out", default=os.path.join(bk.BUILD, "bench-palettes"))
    ap.add_argument("--colours", default="256")
    ap.add_argument("--pictures", default="", help="comma-separated names (default: all)")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("palettes", args.markdown or None)
    import kxquant  # the package of build/python-venv (see bench/palettes)

    bk.install(photos.PACKAGES, "bench/palettes")
    os.makedirs(args.out, exist_ok=True)
    files = photos.prepare(args.out)
    chosen = [p for p in photos.PHOTOS
              if not args.pictures or p[0] in args.pictures.split(",")]
    butteraugli = bk.Butteraugli(args.out)
    out = bk.Report("palettes")
    out.line("Butteraugli ÷ pngquant's default on the same picture (lower is better; below 1 "
             "kxquant's side looks better). Palette, then remapping:\n")
    for n in [int(c) for c in args.colours.split(",")]:
        rows, ratios = [], []
        for name, kind, which, _, _ in chosen:
            src = files[name]
            pq_png, kx_png, kx_pq_png, doubled = (
                os.path.join(args.out, f"{name}-{n}-{what}.png")
                for what in ("pq", "kx", "kx-pq", "doubled"))
            original = bk.load_rgb(src)
            Image.fromarray(smooth_doubled(original)).save(doubled, compress_level=1)
            for command in (photos.pq_command([], n, src, pq_png),
                            photos.kx_command([], n, src, kx_png),
                            photos.pq_command(["--map", kx_png], n, src, kx_pq_png),
                            photos.kx_command([], n, doubled, doubled + ".kx.png")):
                subprocess.run(command, check=True)

            def kx_remap(palette):
                entries, indices = kxquant.remap(original, palette)
                return entries[:, :3][indices]

            pq = butteraugli(original, bk.load_rgb(pq_png))
            cells = [butteraugli(original, bk.load_rgb(kx_png)),
                     butteraugli(original, kx_remap(palette_of(pq_png))),
                     butteraugli(original, bk.load_rgb(kx_pq_png)),
                     butteraugli(original, kx_remap(palette_of(doubled + ".kx.png")))]
            rows.append([f"{name} ({kind})", which, f"{pq:.2f}"] +
                        [f"{c / pq:.2f}" for c in cells])
            ratios.append([c / pq for c in cells])
        out.line(f"#### {n} colours\n")
        out.table(["picture", "set", "pngquant: butteraugli", "kxquant's palette, kxquant's "
                   "dithering (its default)", "pngquant's palette, kxquant's dithering",
                   "kxquant's palette, pngquant's dithering", "kxquant's palette with smooth "
                   "pixels counted twice, kxquant's dithering"], rows, right=range(2, 7))
        behind = [r for r in ratios if r[0] > 1.05]
        if behind:
            out.line(f"\nWhere kxquant's default looks worse than pngquant's ({len(behind)} "
                     f"pictures, by more than 5 %): with pngquant's palette kxquant's dithering "
                     f"gives {bk.mean(r[1] for r in behind):.2f} on the mean (its own palette "
                     f"{bk.mean(r[0] for r in behind):.2f}); pngquant's dithering with kxquant's "
                     f"palette {bk.mean(r[2] for r in behind):.2f}. The largest change the small "
                     f"change of the palette makes on a picture: "
                     f"{max(abs(r[3] - r[0]) for r in ratios):.2f}.\n")
    out.save()


if __name__ == "__main__":
    main()
