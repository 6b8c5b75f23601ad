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
import os
import subprocess

import numpy as np
from PIL import Image, features

import benchkit as bk

ABOUT = {
    "title": "In process",
    "measures": "The Python package from a 9 MP photograph as a NumPy array to the palette and "
                "indices as arrays, each tool from `Image.fromarray` and back to arrays: median "
                "wall time, CPU time and PSNR against the picture's own pixels; then the C "
                "library (`build/bench_capi`: `kxq_quantize` through `libkxquant.so`) against "
                "the command's own reduction of the same picture.",
    "peers": "Pillow's `Image.quantize(256)` (median cut, its default for RGB, which does not "
             "dither) and its libimagequant method",
    "takes": "about 2 minutes with `--runs 5`, after the build (estimated)",
    "run": ["bench/python_api --runs 5       # builds, installs the package in "
            "build/python-venv, runs both"],
}

DEFAULT = ["/usr/share/backgrounds/2004default.jpg", "/usr/share/backgrounds/goldfish.png"]


def pillow(pixels, method):
    quantized = Image.fromarray(pixels).quantize(256, method=method)
    palette = np.frombuffer(bytes(quantized.getpalette()), np.uint8).reshape(-1, 3)
    return palette, np.asarray(quantized)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("pictures", nargs="*", default=DEFAULT)
    bk.markdown_option(parser)
    args = parser.parse_args()
    if args.markdown is not None:
        return bk.markdown("python_api", args.markdown or None)
    import kxquant  # the package of build/python-venv (see bench/python_api)

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
    report = bk.Report("python_api")
    for path in args.pictures:
        with Image.open(path) as image:
            pixels = np.asarray(image.convert("RGB"))
        height, width = pixels.shape[:2]
        report.line(f"### {os.path.basename(path)}: {width} x {height} "
                    f"({width * height / 1e6:.1f} MP), median of {args.runs} runs\n")
        measured = []
        for name, work in tools:
            r = bk.median_runs(lambda: bk.call(lambda: work(pixels)), args.runs)
            palette, indices = r.value
            measured.append((name, r, bk.psnr(palette[indices][..., :3], pixels)))
        ref = next(r for name, r, _ in measured if name.startswith("Pillow"))
        report.table(["tool", "median s", "CPU s", "PSNR dB", "Pillow median cut / this: wall",
                      "CPU"],
                     [[name, f"{r.seconds:.3f}", f"{r.cpu:.3f}", f"{quality:.2f}",
                       f"{ref.seconds / r.seconds:.2f}", f"{ref.cpu / r.cpu:.2f}"]
                      for name, r, quality in measured], right=range(1, 6))
    capi = os.path.join(bk.BUILD, "bench_capi")
    if os.path.exists(capi):
        report.line("### The C library against the command's reduction (build/bench_capi)\n")
        out = subprocess.run([capi, "--benchmark_repetitions=5",
                              "--benchmark_report_aggregates_only=true"],
                             capture_output=True, text=True)
        for line in (out.stdout + out.stderr).splitlines():
            if "median" in line or "Run on" in line:
                report.line(line)
    report.save()

if __name__ == "__main__":
    main()
