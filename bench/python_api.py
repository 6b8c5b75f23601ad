"""The kxquant package against Pillow on 9 MP photographs given as NumPy
arrays: from the array to a palette and one index a pixel, as arrays.

kxquant.quantize with its defaults (adaptive dithering; every core, then one
thread), without dithering (like Pillow's median cut) and with error
diffusion; Pillow's Image.quantize(256) (median cut, its default for
RGB) and Image.quantize(256, method=LIBIMAGEQUANT) where Debian's Pillow has
libimagequant, each from Image.fromarray and to arrays again. Median wall
time of --runs runs, the process CPU time of the same runs, and the PSNR of
the result against the picture. Run through bench/python_api."""
import argparse
import statistics
import time

import numpy as np
from PIL import Image, features

import kxquant

DEFAULT = ["/usr/share/backgrounds/2004default.jpg", "/usr/share/backgrounds/goldfish.png"]


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255 ** 2 / mse)


def timed(work, runs):
    """Median wall and CPU seconds of `runs` calls, and the last result."""
    walls, cpus = [], []
    for _ in range(runs):
        w, c = time.perf_counter(), time.process_time()
        result = work()
        walls.append(time.perf_counter() - w)
        cpus.append(time.process_time() - c)
    return statistics.median(walls), statistics.median(cpus), result


def pillow(pixels, method):
    quantized = Image.fromarray(pixels).quantize(256, method=method)
    palette = np.frombuffer(bytes(quantized.getpalette()), np.uint8).reshape(-1, 3)
    return palette, np.asarray(quantized)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("pictures", nargs="*", default=DEFAULT)
    args = parser.parse_args()
    tools = [
        ("kxquant.quantize(a) (every core)", lambda a: kxquant.quantize(a)),
        ("kxquant.quantize(a, threads=1)", lambda a: kxquant.quantize(a, threads=1)),
        ("kxquant.quantize(a, dither=\"none\") (every core)",
         lambda a: kxquant.quantize(a, dither="none")),
        ("kxquant.quantize(a, dither=\"none\", threads=1)",
         lambda a: kxquant.quantize(a, dither="none", threads=1)),
        ("kxquant.quantize(a, dither=\"diffusion\", threads=1)",
         lambda a: kxquant.quantize(a, dither="diffusion", threads=1)),
        ("Pillow quantize(256) (median cut)", lambda a: pillow(a, None)),
    ]
    if features.check_feature("libimagequant"):
        tools.append(("Pillow quantize(256, LIBIMAGEQUANT)",
                      lambda a: pillow(a, Image.Quantize.LIBIMAGEQUANT)))
    for path in args.pictures:
        with Image.open(path) as image:
            pixels = np.asarray(image.convert("RGB"))
        height, width = pixels.shape[:2]
        print(f"### {path.rsplit('/', 1)[-1]}: {width} x {height} ({width * height / 1e6:.1f} MP),"
              f" median of {args.runs} runs\n")
        print("| tool | median s | CPU s | PSNR dB | Pillow median cut / this: wall | CPU |")
        print("|---|---:|---:|---:|---:|---:|")
        rows = []
        for name, work in tools:
            wall, cpu, (palette, indices) = timed(lambda: work(pixels), args.runs)
            rows.append((name, wall, cpu, psnr(palette[indices][..., :3], pixels)))
        _, wall_ref, cpu_ref, _ = next(r for r in rows if r[0].startswith("Pillow"))
        for name, wall, cpu, quality in rows:
            print(f"| {name} | {wall:.3f} | {cpu:.3f} | {quality:.2f} | {wall_ref / wall:.2f} |"
                  f" {cpu_ref / cpu:.2f} |")
        print()


if __name__ == "__main__":
    main()
