"""Many pictures in one command: kxquant against pngquant on forty icons and on a
folder of 9 MP photographs; see bench/workflow."""

import argparse
import glob
import os
import shutil

from PIL import Image

import benchkit as bk
import icons

ABOUT = {
    "title": "Many pictures in one command",
    "measures": "Whole folders in one command, as a build script or a photographer runs them: "
                "the forty oxygen icons of bench/icons and six photographs of "
                "`lomiri-wallpapers-16.04` scaled and cropped to 3674 x 2449 (9.0 MP) PNG; "
                "time, CPU time, peak memory, files written, mean bytes and PSNR (icons "
                "composited over white and over black, the worse). Both tools use both cores, "
                "so the CPU time is the fairer ratio on a busy machine.",
    "peers": "pngquant (default and `--nofs`, 256 colours), and both tools with a build "
             "script's `--quality 65-80 --skip-if-larger`",
    "takes": "about 5 minutes with `--runs 3 --photos 6` (estimated)",
    "run": ["bench/workflow --runs 3 --photos 6"],
}

# ---- The tools: change these lines when kxquant gains options -------------------------
# Each row: (label, function (input names) -> argument list, function (input name) ->
# the name of its output). Every tool reduces all the pictures of a set in one
# process, in the folder that holds them. The quality rows are a web build
# script's: the fewest colours that look right, the file left alone otherwise.
QUALITY = ["--quality", "65-80", "--skip-if-larger"]
TOOLS = [
    ("kxquant", lambda files: [bk.KXQUANT, "-f", "-q"] + files,
     lambda f: os.path.splitext(f)[0] + "-kx.png"),
    ("pngquant", lambda files: ["pngquant", "--force", "--ext", "-pq.png", "256"] + files,
     lambda f: os.path.splitext(f)[0] + "-pq.png"),
    ("pngquant --nofs",
     lambda files: ["pngquant", "--nofs", "--force", "--ext", "-pqn.png", "256"] + files,
     lambda f: os.path.splitext(f)[0] + "-pqn.png"),
    ("kxquant " + " ".join(QUALITY),
     lambda files: [bk.KXQUANT, "-f", "-q", "--ext", "-kxq.png"] + QUALITY + files,
     lambda f: os.path.splitext(f)[0] + "-kxq.png"),
    ("pngquant " + " ".join(QUALITY),
     lambda files: ["pngquant", "--force", "--ext", "-pqq.png"] + QUALITY + files,
     lambda f: os.path.splitext(f)[0] + "-pqq.png"),
]
# Statuses that leave some outputs unwritten by design: quality not reached,
# skipped as larger (the same for both tools).
LEFT_ALONE = (98, 99)

WALLPAPERS = "lomiri-wallpapers-16.04"
PHOTO_DIR = "/usr/share/backgrounds"
PHOTO_SIZE = (3674, 2449)  # 9.0 MP, 3:2
PHOTO_SET = "photos-v1"  # change when the photographs change


def prepare_photos(work, count):
    """`count` photographs of the wallpapers (the largest first, then by name), scaled
    to cover 3674 x 2449 and cropped to it around the centre, as PNG."""
    folder = os.path.join(work, PHOTO_SET, f"photos{count}")
    if os.path.isdir(folder):
        return sorted(glob.glob(os.path.join(folder, "*.png")))
    paths = [p for p in sorted(glob.glob(os.path.join(PHOTO_DIR, "*.jpg")))
             if "_by_" in os.path.basename(p)]  # the photographs (the others are drawings)
    paths.sort(key=lambda p: -Image.open(p).size[0] * Image.open(p).size[1])
    if len(paths) < count:
        raise SystemExit(f"only {len(paths)} photographs in {PHOTO_DIR}")
    tmp = folder + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    w, h = PHOTO_SIZE
    for path in paths[:count]:
        im = Image.open(path).convert("RGB")
        scale = max(w / im.width, h / im.height)
        im = im.resize((round(im.width * scale), round(im.height * scale)), Image.LANCZOS)
        left, top = (im.width - w) // 2, (im.height - h) // 2
        name = os.path.splitext(os.path.basename(path))[0].split("_by_")[0] + ".png"
        im.crop((left, top, left + w, top + h)).save(os.path.join(tmp, name))
    os.rename(tmp, folder)
    return sorted(glob.glob(os.path.join(folder, "*.png")))


def run_set(runner, work, set_name, files, tool, runs, alpha):
    """One tool on one set in one command (median of `runs`), then its outputs
    scored. A dict of the row's figures, or {'fails': cell}."""
    label, argv, output = tool
    folder = os.path.join(work, "out", set_name + "-" + "".join(c for c in label if c.isalnum()))
    names = bk.fresh_copies(folder, files)

    def once():
        r = runner.pipeline([argv(names)], cwd=folder)
        if r.seconds is not None and r.status in LEFT_ALONE:
            r.status = 0  # some inputs left alone, as asked
        return r

    r = bk.median_runs(once, runs)
    if not r.ok:
        return {"fails": r.cell()}
    row = {"seconds": r.seconds, "cpu": r.cpu, "peak": r.peak_mb, "psnr": [], "bytes": [],
           "written": 0}
    for name in names:
        out = os.path.join(folder, output(name))
        if not os.path.exists(out):
            continue
        row["written"] += 1
        row["bytes"].append(os.path.getsize(out))
        if alpha:
            p, _ = bk.worse_of_white_and_black(bk.load_rgba(os.path.join(folder, name)),
                                               bk.load_rgba(out), lambda a, b: 0.0)
        else:
            p = bk.psnr(bk.load_rgb(os.path.join(folder, name)), bk.load_rgb(out))
        row["psnr"].append(p)
    return row


def main():
    ap = argparse.ArgumentParser(description="many pictures in one command: kxquant and pngquant")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per command (median)")
    ap.add_argument("--photos", type=int, default=6, help="photographs in the folder")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-workflow"),
                    help="work folder (material, outputs, logs)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: 8 icons and 2 photographs, one run")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("workflow", args.markdown or None)
    if args.quick:
        args.runs, args.photos = 1, 2
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install([icons.ICON_THEME, WALLPAPERS, "pngquant"], "bench/workflow")

    icon_files = icons.prepare(args.out, 8 if args.quick else 40)[0][1]
    photo_files = prepare_photos(args.out, args.photos)
    runner = bk.Runner(args.out)
    threads = os.cpu_count()
    # A smoke test keeps its results in the work folder, not beside the scripts.
    report = bk.Report("workflow", "",
                       os.path.join(args.out, "results.json") if args.quick else None)
    report.line(f"Icons: {len(icon_files)} icons of Debian's {icons.ICON_THEME} (256 x 256 RGBA). "
                f"Photographs: {len(photo_files)} of Debian's {WALLPAPERS}, "
                f"{PHOTO_SIZE[0]} x {PHOTO_SIZE[1]} PNG "
                f"({', '.join(os.path.basename(f)[:-4] for f in photo_files)}).\n")
    report.line(f"Time: the whole folder in one command, median of {args.runs} run(s), on "
                f"{threads} CPUs; CPU time: user + system. PSNR: icons composited over white and "
                "over black (the worse), photographs as they are; means over the files written.\n")
    results = {}
    for set_name, files, alpha in (("icons", icon_files, True), ("photos", photo_files, False)):
        rows = []
        for tool in TOOLS:
            row = run_set(runner, args.out, set_name, files, tool, args.runs, alpha)
            results[(set_name, tool[0])] = row
            if "fails" in row:
                rows.append([tool[0], row["fails"]] + [""] * 5)
                continue
            rows.append([tool[0], f"{row['seconds']:.2f}", f"{row['cpu']:.2f}",
                         f"{row['peak']:.0f}", f"{row['written']}/{len(files)}",
                         f"{bk.mean(row['bytes']):,.0f}", bk.fmt(bk.mean(row["psnr"]))])
        report.line(f"### {set_name} ({len(files)} files)\n")
        report.table(["tool", "time s", "CPU s", "peak MB", "written", "mean bytes", "PSNR dB"],
                     rows, right=range(1, 7))

    report.line("### kxquant against pngquant in one command (target: at least 3x faster)\n")
    for set_name in ("icons", "photos"):
        for kx_label, pq_label in (("kxquant", "pngquant"), ("kxquant", "pngquant --nofs"),
                                   ("kxquant " + " ".join(QUALITY),
                                    "pngquant " + " ".join(QUALITY))):
            kx, pq = results[(set_name, kx_label)], results[(set_name, pq_label)]
            if "seconds" not in kx or "seconds" not in pq:
                report.line(f"- {set_name}: {kx_label} against {pq_label}: no comparison (a tool "
                            "failed)")
                continue
            report.line(f"- {set_name}: {kx_label} {kx['seconds']:.2f} s, {pq_label} "
                        f"{pq['seconds']:.2f} s: {pq['seconds'] / kx['seconds']:.2f}x faster "
                        f"(CPU time {pq['cpu'] / kx['cpu']:.2f}x less)")
    report.line()
    report.save()


if __name__ == "__main__":
    main()
