"""Icons and user-interface pictures with soft alpha, kxquant against pngquant;
see bench/icons."""

import argparse
import glob
import hashlib
import os
import shutil
import sys

import numpy as np
from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "Icons with alpha",
    "measures": "Forty different 256 x 256 icons of Debian's `oxygen-icon-theme` with soft "
                "shadows and glows (chosen by the script: at least 128 alpha levels and 3% of "
                "partly transparent pixels, spread over the theme's folders) and three "
                "interface pictures benchkit composes (a notification card, a media player "
                "with a translucent disc hub, a dock), at 256 and 64 colours, each set reduced "
                "in one command: PSNR and butteraugli of the composites over white and over "
                "black (the worse; mean and worst), mean bytes, the alpha levels kept, time and "
                "peak memory; `--per-picture` adds a table per picture.",
    "peers": "pngquant (its default, which dithers, and `--nofs`)",
    "takes": "about 5 to 10 minutes with `--runs 3`, most of it butteraugli (estimated)",
    "run": ["bench/icons --runs 3"],
}

# ---- The tools: change these lines when kxquant gains options -------------------------
# Each row: (label, function (colours, input names) -> argument list, function
# (input name) -> the name of its output). Every tool reduces all the pictures
# of a set in one process, in the folder that holds them.
TOOLS = [
    ("kxquant", lambda n, files: [bk.KXQUANT, "-f", "-q", "-n", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-kx.png"),
    ("pngquant", lambda n, files: ["pngquant", "--force", "--ext", "-pq.png", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-pq.png"),
    ("pngquant --nofs",
     lambda n, files: ["pngquant", "--nofs", "--force", "--ext", "-pqn.png", str(n)] + files,
     lambda f: os.path.splitext(f)[0] + "-pqn.png"),
]
COLOURS = [256, 64]
ICON_THEME = "oxygen-icon-theme"
ICON_DIR = "/usr/share/icons/oxygen/base/256x256"
MATERIAL = "material-v2"  # change when the generated pictures change


# ---- Material ---------------------------------------------------------------------------


def pick_icons(count):
    """`count` different 256 x 256 RGBA icons of the theme with soft alpha (at least
    128 alpha levels and at least 3% of the pixels partly transparent), spread over
    its folders (apps, devices, places, ...): every folder's qualifying icons in
    name order, thinned to about ten evenly spaced ones, then taken in turn."""
    folders, seen = {}, set()
    for path in sorted(glob.glob(os.path.join(ICON_DIR, "*", "*.png"))):
        im = Image.open(path)
        if im.size != (256, 256) or im.mode != "RGBA":
            continue
        pixels = np.asarray(im)
        key = hashlib.sha256(pixels.tobytes()).digest()
        if key in seen:  # the theme names some pictures twice (folder-new, knetattach)
            continue
        seen.add(key)
        a = pixels[..., 3]
        if np.unique(a).size >= 128 and np.mean((a > 0) & (a < 255)) >= 0.03:
            folders.setdefault(os.path.basename(os.path.dirname(path)), []).append(path)
    lanes = [lst[::max(1, len(lst) // 10)] for _, lst in sorted(folders.items())]
    picked = []
    for i in range(max(len(lane) for lane in lanes)):
        picked += [lane[i] for lane in lanes if i < len(lane)]
    if len(picked) < count:
        sys.exit(f"only {len(picked)} icons with soft alpha in {ICON_DIR}")
    return picked[:count]


def prepare(work, icon_count):
    """The icons (copied from the theme) and the three composed pictures, made once
    and kept in the work folder."""
    base = os.path.join(work, MATERIAL)
    icons = os.path.join(base, f"icons{icon_count}")
    if not os.path.isdir(icons):
        tmp = icons + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for path in pick_icons(icon_count):
            name = os.path.basename(os.path.dirname(path)) + "-" + os.path.basename(path)
            shutil.copyfile(path, os.path.join(tmp, name))
        os.rename(tmp, icons)
    ui = os.path.join(base, "ui")
    if not os.path.isdir(ui):
        tmp = ui + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for name, make in (("notification", bk.ui_notification), ("player", bk.ui_player),
                           ("dock", bk.ui_dock)):
            make().save(os.path.join(tmp, name + ".png"))
        os.rename(tmp, ui)
    return [("icons", sorted(glob.glob(os.path.join(icons, "*.png")))),
            ("UI pictures", sorted(glob.glob(os.path.join(ui, "*.png"))))]


# ---- The measurement --------------------------------------------------------------------


def run_set(runner, work, set_name, files, n, tool, runs, score):
    """Runs one tool on one set in one command (median of `runs`), then scores
    every output. Returns a dict of the row's figures, or {'fails': cell}."""
    label, argv, output = tool
    folder = os.path.join(work, "out", f"{set_name.split()[0]}-{n}-{label.replace(' ', '')}")
    names = bk.fresh_copies(folder, files)
    r = bk.median_runs(lambda: runner.pipeline([argv(n, names)], cwd=folder), runs)
    if not r.ok:
        return {"fails": r.cell()}
    row = {"seconds": r.seconds, "cpu": r.cpu, "peak": r.peak_mb, "per": []}
    for name in names:
        out = os.path.join(folder, output(name))
        if not os.path.exists(out):
            return {"fails": bk.cell_text(f"fails: no {output(name)}")}
        original = bk.load_rgba(os.path.join(folder, name))
        result = bk.load_rgba(out)
        p, b = bk.worse_of_white_and_black(original, result, score)
        row["per"].append({"name": name, "psnr": p, "ba": b, "bytes": os.path.getsize(out),
                           "alpha": bk.alpha_levels(result),
                           "alpha_in": bk.alpha_levels(original)})
    return row


def main():
    ap = argparse.ArgumentParser(description="kxquant and pngquant on icons with soft alpha")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per command (median)")
    ap.add_argument("--out", default=os.path.join(bk.ROOT, "build", "bench-icons"),
                    help="work folder (material, outputs, logs)")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: 8 icons and the UI pictures at 64 colours, one run")
    ap.add_argument("--per-picture", action="store_true", help="also a table per picture")
    bk.markdown_option(ap)
    args = ap.parse_args()
    if args.markdown is not None:
        return bk.markdown("icons", args.markdown or None)
    if args.quick:
        args.runs = 1
    args.out = os.path.abspath(args.out)
    os.makedirs(args.out, exist_ok=True)
    bk.install([ICON_THEME, "pngquant", "butteraugli", "fonts-dejavu-core"], "bench/icons")

    sets = prepare(args.out, 8 if args.quick else 40)
    colours = [64] if args.quick else COLOURS
    runner = bk.Runner(args.out)
    score = bk.Butteraugli(os.path.join(args.out, "runs"))
    # A smoke test keeps its results in the work folder, not beside the scripts.
    report = bk.Report("icons", "", os.path.join(args.out, "results.json") if args.quick else None)

    report.line(f"Icons: {len(sets[0][1])} icons of Debian's {ICON_THEME} (256 x 256 RGBA), "
                f"{', '.join(os.path.basename(f)[:-4] for f in sets[0][1])}; UI pictures: "
                f"{', '.join(os.path.basename(f)[:-4] for f in sets[1][1])} (composed).\n")
    report.line("PSNR and butteraugli: each picture composited over white and over black, the "
                "worse of the two; time: the whole set in one command, median of "
                f"{args.runs} run(s); alpha levels: distinct alpha values, mean over the set "
                "(min-max). CPU time: user + system of the process.\n")
    results = {}
    for set_name, files in sets:
        alpha_in = [bk.alpha_levels(bk.load_rgba(f)) for f in files]
        report.line(f"### {set_name} ({len(files)} pictures; alpha levels of the originals: "
                    f"mean {bk.mean(alpha_in):.0f}, {min(alpha_in)}-{max(alpha_in)})\n")
        rows = []
        for n in colours:
            for tool in TOOLS:
                row = run_set(runner, args.out, set_name, files, n, tool, args.runs, score)
                results[(set_name, n, tool[0])] = row
                if "fails" in row:
                    rows.append([n, tool[0], row["fails"]] + [""] * 7)
                    continue
                per = row["per"]
                alpha = [p["alpha"] for p in per]
                rows.append([
                    n, tool[0], bk.fmt(bk.mean(p["psnr"] for p in per)),
                    bk.fmt(min(p["psnr"] for p in per)), bk.fmt(bk.mean(p["ba"] for p in per)),
                    bk.fmt(max(p["ba"] for p in per)),
                    f"{bk.mean(p['bytes'] for p in per):,.0f}",
                    f"{bk.mean(alpha):.0f} ({min(alpha)}-{max(alpha)})",
                    f"{row['seconds']:.3f} ({row['cpu']:.3f})", f"{row['peak']:.0f}"])
        report.table(["colours", "tool", "PSNR mean", "PSNR worst", "butteraugli mean",
                      "butteraugli worst", "mean bytes", "alpha levels",
                      "time s (CPU s), one command", "peak MB"], rows, right=range(2, 10))
        if args.per_picture:
            for n in colours:
                rows = []
                for i, f in enumerate(files):
                    cells = [os.path.basename(f)[:-4]]
                    for tool in TOOLS:
                        row = results[(set_name, n, tool[0])]
                        if "fails" in row:
                            cells.append("")
                            continue
                        p = row["per"][i]
                        cells.append(f"{p['psnr']:.1f} dB, {p['ba']:.2f}, {p['bytes']:,} B, "
                                     f"{p['alpha']}/{p['alpha_in']} α")
                    rows.append(cells)
                report.line(f"{set_name} at {n} colours, per picture (PSNR, butteraugli, bytes, "
                            "alpha levels kept/original):\n")
                report.table(["picture"] + [t[0] for t in TOOLS], rows, right=[])

    print_targets(results, [s[0] for s in sets], colours, len(sets[0][1]), report)
    report.save()


def print_targets(results, set_names, colours, icon_count, report):
    """kxquant against pngquant on the targets of the issues (in brackets)."""
    report.line("### kxquant against pngquant (targets in brackets)\n")
    for set_name in set_names:
        for n in colours:
            kx = results.get((set_name, n, "kxquant"), {})
            nofs = results.get((set_name, n, "pngquant --nofs"), {})
            if "per" not in kx or "per" not in nofs:
                report.line(f"- {set_name}, {n} colours: no comparison (a tool failed)")
                continue
            dp = [a["psnr"] - b["psnr"] for a, b in zip(kx["per"], nofs["per"])]
            worst = min(range(len(dp)), key=lambda i: dp[i])
            size = bk.mean(p["bytes"] for p in kx["per"]) / bk.mean(p["bytes"] for p in nofs["per"])
            report.line(f"- {set_name}, {n} colours: composited PSNR {bk.mean(dp):+.2f} dB against "
                        f"pngquant --nofs on average [>= 0], lowest {dp[worst]:+.2f} dB "
                        f"({kx['per'][worst]['name'][:-4]}) [>= -1]; mean bytes {size:.2f}x "
                        "pngquant --nofs's [<= 1]")
    for n in colours:
        kx = results.get((set_names[0], n, "kxquant"), {})
        pq = results.get((set_names[0], n, "pngquant"), {})
        nofs = results.get((set_names[0], n, "pngquant --nofs"), {})
        if "seconds" in kx and "seconds" in pq and "seconds" in nofs:
            report.line(f"- {icon_count} icons in one command, {n} colours: kxquant "
                        f"{kx['seconds']:.3f} s, pngquant {pq['seconds']:.3f} s "
                        f"({pq['seconds'] / kx['seconds']:.2f}x kxquant's time) [>= 2 for full "
                        f"alpha, >= 3 for forty icons], pngquant --nofs {nofs['seconds']:.3f} s "
                        f"({nofs['seconds'] / kx['seconds']:.2f}x); CPU time: pngquant "
                        f"{pq['cpu'] / kx['cpu']:.2f}x kxquant's")
    report.line()


if __name__ == "__main__":
    main()
