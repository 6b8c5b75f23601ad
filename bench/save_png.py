"""kxquant.save_png on a 9 MP photograph against the kxquant command's whole
run on the same file and options (kxquant -f -o out.png photo.png: reading,
reducing, writing) and against Pillow's quantize(256) + save, each from the
file to a palette PNG. Python's runs are timed in this process: Image.open,
the reduction and the file written (and save_png of the pixels already
decoded, to tell the reduction from Pillow's decoding and copy); save_png's bytes are checked against the
command's file. The photograph is samples/astronaut.jpg enlarged by Pillow to
9 MP (saved as a PNG so that both read the same pixels) unless one is given.
Run through bench/save_png."""
import argparse
import os

import numpy as np
from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "The command's PNG from Python",
    "measures": "`kxquant.save_png` from a 9 MP photograph's file to the command's PNG, in "
                "process, against the `kxquant` command's whole run on the same file and "
                "options and against Pillow's `quantize(256)` + `save`: median wall and CPU time.",
    "peers": "the kxquant command; Pillow's `Image.quantize(256)` (median cut) + `save`",
    "takes": "about a minute with `--runs 3`, after the build and the package's install",
    "run": ["bench/save_png --runs 3       # builds, installs the package in "
            "build/python-venv, runs it"],
}


def photograph(work):
    path = os.path.join(work, "astronaut-9mp.png")
    if not os.path.exists(path):
        with Image.open(os.path.join(bk.ROOT, "samples", "astronaut.jpg")) as small:
            small.convert("RGB").resize((3672, 2448), Image.LANCZOS).save(path)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out", default=os.path.join(bk.BUILD, "bench-save_png"))
    parser.add_argument("pictures", nargs="*")
    bk.markdown_option(parser)
    args = parser.parse_args()
    if args.markdown is not None:
        return bk.markdown("save_png", args.markdown or None)
    import kxquant  # the package of build/python-venv (see bench/save_png)

    os.makedirs(args.out, exist_ok=True)
    runner = bk.Runner(args.out)
    report = bk.Report("save_png")
    for path in args.pictures or [photograph(args.out)]:
        out = os.path.join(args.out, "out")
        with Image.open(path) as image:
            width, height = image.size
        report.line(f"### {os.path.basename(path)}: {width} x {height} "
                    f"({width * height / 1e6:.1f} MP), median of {args.runs} runs\n")

        def save_png(threads=0):
            with Image.open(path) as image:
                return kxquant.save_png(image, out + "-py.png", threads=threads)

        with Image.open(path) as image:
            pixels = np.asarray(image.convert("RGB"))

        def pillow():
            with Image.open(path) as image:
                image.convert("RGB").quantize(256).save(out + "-pil.png")

        measured = [
            ("kxquant -f -o out.png (the command, whole run)",
             bk.median_runs(lambda: runner.pipeline([[bk.KXQUANT, "-f", "-o", out + ".png",
                                                      path]]), args.runs)),
            ("kxquant.save_png(Image.open(f), out)",
             bk.median_runs(lambda: bk.call(save_png), args.runs)),
            ("kxquant.save_png(pixels) (decoded already, no file)",
             bk.median_runs(lambda: bk.call(lambda: kxquant.save_png(pixels)), args.runs)),
            ("Pillow Image.open(f).quantize(256).save(out)",
             bk.median_runs(lambda: bk.call(pillow), args.runs)),
        ]
        with open(out + ".png", "rb") as f:
            same = f.read() == measured[1][1].value
        command = measured[0][1]
        report.table(["tool", "median s", "CPU s", "command / this: wall"],
                     [[name, f"{r.seconds:.3f}", f"{r.cpu:.3f}",
                       f"{command.seconds / r.seconds:.2f}"] for name, r in measured],
                     right=range(1, 4))
        report.line(f"\nsave_png's bytes {'are' if same else 'are NOT'} the command's file.\n")
    report.save()


if __name__ == "__main__":
    main()
