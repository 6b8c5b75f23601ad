"""Writes bench/README.md from the benchmarks themselves: for each, what it
measures, against which peers, how long it takes and how to run it (the ABOUT
of its script, read without running it), then the tables of its last run, as
the script kept them in bench/results/ (`bench/NAME --markdown` prints the
same). Edit the scripts and their results, not bench/README.md.

    bench/readme           writes bench/README.md
    bench/readme --check   fails when bench/README.md is not what it would write
"""

import argparse
import ast
import os
import sys
import textwrap

import benchkit as bk

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "README.md")
# The benchmarks in the order of the README.
ORDER = ["compare", "quality", "threads", "png_size", "frames_read", "icons", "clips", "shipped",
         "photos", "palettes", "workflow", "python_api", "save_png", "compare_reduce", "slurm",
         "web"]
# The benchmarks without a Python script of their own.
OTHERS = {
    "frames_read": {
        "title": "Reading streams",
        "command": "build/bench_frames_read",
        "measures": "30-frame streams read from a file in the page cache through the frame "
                    "readers, YUV4MPEG2 converted to RGB and the same frames as a PPM stream: "
                    "frames per second of wall time. A Google Benchmark of bench/frames_read.cpp "
                    "(built with the tests when libbenchmark-dev is present); its figures below "
                    "were copied from its own output.",
        "peers": "none: the readers against the size of the frames",
        "takes": "a few seconds",
        "run": ["KX_THREADS=1 build/bench_frames_read", "KX_THREADS=2 build/bench_frames_read"],
    },
    "compare_reduce": {
        "title": "The reduction stages",
        "measures": "The colour reduction alone (counting, choosing 256 colours, remapping; "
                    "build/bench_reduce on one frame) on a photograph upscaled to about 16 MP "
                    "(`MP=`), best of `RUNS=` runs, wall and CPU time, with `-a` too.",
        "peers": "netpbm (`pnmcolormap 256` + `pnmremap -nofs`), Pillow's "
                 "`quantize(256, MEDIANCUT)`, all single-threaded",
        "takes": "about a minute",
        "run": ["bench/compare_reduce   # or bench/compare_reduce PHOTO.png"],
    },
    "slurm": {
        "title": "What Slurm costs",
        "measures": "A sequence through kxslurm on the private one-node cluster of this machine "
                    "(tests/slurm/local-cluster) against one kxreduce process with all cores, "
                    "median wall time of N runs each, the same with frames of 16 x 16 (the "
                    "scheduling alone), and what the gather of `-u` costs as the sequence grows "
                    "(docs/cluster.md shows a run).",
        "peers": "kxreduce itself, in one process",
        "takes": "a few minutes, as root (the cluster)",
        "run": ["bench/slurm --runs 3"],
    },
}

INTRO = """\
# Benchmarks

Each benchmark of `bench/` runs kxreduce, kxquant or the library beside the tools users would
pick instead, in the same script on the same pixels, and prints markdown tables. A script
installs what it needs from Debian (as root, with apt-get, when missing), builds the Release
tree (`build/`), writes only in its work folder (`build/bench-<name>/` or as `--out DIR` says),
where the pictures and clips it makes are kept for the next run, and keeps what it printed in
`bench/results/<name>.json`; `bench/<name> --markdown` prints those tables again, and
`bench/readme` writes this file from the scripts and their results (edit those, not this
file). `--quick` runs a small subset as a smoke test and keeps its results in the work folder;
`--runs N` sets the timed runs (the median counts). A tool that fails gets `fails: <the first
line it wrote>` in its cell; the others go on.

Times are whole processes with each tool's defaults unless said, wall time with the CPU time
(user + system, which says more on a busy machine: the project's machine has 2 cores shared with
other work) in brackets, and peak memory is GNU time's. The looks are butteraugli's: Debian's
`butteraugli A.png B.png` prints the largest perceptual distance over the picture (lower is
better; about 1 is just visible); pictures with alpha are first composited over white and over
black, and the worse of the two counts. What every script shares (running and timing tools,
PSNR, the loaders, butteraugli, the pictures drawn here, the reports) is `bench/benchkit.py`.
"""

PACKAGES = """\
## What they install

Beyond numpy, Pillow and GNU time, as root with apt-get when missing:

| package | for |
|---|---|
| `butteraugli` | the perceptual distance of bench/icons, bench/clips, bench/shipped, bench/photos |
| `fonts-dejavu-core` | the text of the pictures drawn here |
| `pngquant` | the peer of bench/compare, bench/quality, bench/icons, bench/photos, bench/shipped, bench/workflow |
| `netpbm`, `imagemagick` | peers of bench/compare and bench/quality (ImageMagick also of bench/clips) |
| `python3-skimage` | the photographs of bench/compare, bench/quality, bench/threads, bench/slurm, and the colour differences |
| `oxygen-icon-theme` | the icons of bench/icons and bench/workflow |
| `ffmpeg` | bench/clips: the fractal clip, the mp4, the pipes, the two-pass peer, the reference frames of the mp4 |
| `gifsicle` | bench/clips: the GIF optimizer |
| `optipng` | bench/shipped and bench/png_size: what a PNG optimizer still finds in each file |
| `lomiri-wallpapers-16.04` | the photographs of bench/clips, bench/photos, bench/quality, bench/shipped and bench/workflow |
| `lomiri-wallpapers-20.04`, `mate-backgrounds` | more photographs of bench/photos (and bench/quality) |
| `ukui-wallpapers` | the 9 MP wallpapers of bench/compare, bench/png_size, bench/shipped and bench/threads |

The stage benchmarks (Google Benchmark, CPU time, built with the tests when libbenchmark-dev is
present): `build/bench_picture_io` (read and write a 4096 x 4096 picture file),
`build/bench_reduce` (counting, median cut, remap, remap with adjustment, filter;
`KX_BENCH_PPM=photo.ppm` picks the picture), `build/bench_pict_io` (PICT read and write),
`build/bench_frames_read` (above) and `build/bench_capi` (bench/python_api).
"""


def about(name):
    """The ABOUT of bench/NAME.py, read without running the script."""
    if name in OTHERS:
        return OTHERS[name]
    with open(os.path.join(HERE, name + ".py")) as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "ABOUT"
                                                for t in node.targets):
            return ast.literal_eval(node.value)
    sys.exit(f"bench/{name}.py has no ABOUT")


def parts_order(name):
    """The PARTS of bench/NAME.py (the order of its kept results), if it has them."""
    path = os.path.join(HERE, name + ".py")
    if not os.path.exists(path):
        return ()
    with open(path) as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "PARTS"
                                                for t in node.targets):
            return ast.literal_eval(node.value)
    return ()


def wrap(text, indent=""):
    return textwrap.fill(text, 100, subsequent_indent=indent, break_on_hyphens=False,
                         break_long_words=False)


def section(name):
    a = about(name)
    command = a.get("command", f"bench/{name}")
    out = [f"## {a['title']}: `{command}`\n", wrap(a["measures"]) + "\n",
           wrap(f"- Against: {a['peers']}.", "  "), wrap(f"- Takes: {a['takes']}.", "  "),
           "- Run, from the top of the tree:\n", "```sh", *a["run"], "```\n"]
    kept = bk.markdown_text(name, order=parts_order(name))
    if kept is None:
        out.append(f"No results kept yet: `{a['run'][0].split('#')[0].strip()}` keeps them in "
                   f"`bench/results/{name}.json`.\n")
    else:
        out.append("The last results kept:\n")
        out.append(kept)
    return "\n".join(out)


def readme():
    rows = []
    for name in ORDER:
        a = about(name)
        rows.append([f"`{a.get('command', 'bench/' + name)}`", a["title"], a["peers"], a["takes"]])
    summary = bk.table_text(["benchmark", "what", "against", "takes"], rows, right=[])
    return "\n".join([INTRO, summary.rstrip("\n") + "\n"] + [section(n) for n in ORDER]
                     + [PACKAGES]).rstrip("\n") + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--check", action="store_true",
                    help="fail when bench/README.md is not what it would write")
    args = ap.parse_args()
    text = readme()
    if args.check:
        with open(README) as f:
            if f.read() != text:
                sys.exit("bench/README.md is not what bench/readme writes: run bench/readme")
        return
    with open(README + ".tmp", "w") as f:
        f.write(text)
    os.replace(README + ".tmp", README)


if __name__ == "__main__":
    main()
