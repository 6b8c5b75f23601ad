"""The WebAssembly module in Debian's headless Chromium (bench/web.mjs runs
the browser half): its encodePng on one thread against the C library's
kxq_quantize + kxq_write_png on one thread (through ctypes) on a 9 MP
photograph; its palettes against image-q's and libimagequant's WebAssembly
build (npm, pinned in web/package-lock.json) on four photographs and two screenshots of 1 to 9 MP,
time and PSNR with no dithering; the page's download, gzipped; and the
page's first result for a 1 MP photograph given through its file input,
from its own performance marks. Run through bench/web."""
import argparse
import ctypes
import gzip
import json
import os
import statistics
import subprocess
import time

import numpy as np
from PIL import Image

import benchkit as bk

ABOUT = {
    "title": "The page and the WebAssembly module",
    "measures": "The module's `encodePng` in headless Chromium on one thread against the C "
                "library on one thread (9 MP photograph, median of 5); its palettes against "
                "image-q's, time and PSNR without dithering, on four photographs and two "
                "screenshots of 1 to 9 MP; the module and its glue gzipped; the page's first "
                "result for a 1 MP photograph.",
    "peers": "libkxquant (native, one thread); image-q 4.0.0 (npm): wuquant, rgbquant, neuquant, "
             "neuquant-float palettes, nearest colour; libimagequant-wasm 0.3.0 (npm), libimagequant "
             "built to WebAssembly, at its default speed, without and with its dithering",
    "takes": "about ten minutes, after the builds",
    "run": ["bench/web --runs 5            # builds the module and the library, runs Chromium"],
}
WORK = os.path.join(bk.BUILD, "web", "bench")
METHODS = ["wuquant", "rgbquant", "neuquant", "neuquant-float"]


def pictures():
    """(name, RGB array, with image-q): the 9 MP photograph first."""
    bk.install(["ukui-wallpapers", "lomiri-wallpapers-16.04", "fonts-dejavu-core"], "bench/web")
    bg = bk.BACKGROUNDS

    def photo(file, megapixels):
        im = Image.open(os.path.join(bg, file)).convert("RGB")
        scale = (megapixels * 1e6 / (im.width * im.height)) ** 0.5
        if scale < 1:
            im = im.resize((round(im.width * scale), round(im.height * scale)), Image.LANCZOS)
        return np.asarray(im)

    shot = bk.web_page(Image.open(os.path.join(bg, "Bridge_by_Sander_Klootwijk.jpg")))
    return [
        ("2004default.jpg (9 MP)", photo("2004default.jpg", 9.3), True),
        ("Dragonfly_by_Bolly.jpg (4 MP)", photo("Dragonfly_by_Bolly.jpg", 4), True),
        ("Wine_by_Jakkub_Mede.jpg (2 MP)", photo("Wine_by_Jakkub_Mede.jpg", 2), True),
        ("sunset_by_Aitzol_Berasategi.jpg (1 MP)", photo("sunset_by_Aitzol_Berasategi.jpg", 1),
         True),
        ("a web page (screenshot)", np.asarray(shot.convert("RGB")), True),
        ("a dashboard (screenshot)", np.asarray(bk.dashboard().convert("RGB")), True),
    ]


def native_seconds(rgb, runs):
    """kxq_quantize + kxq_write_png on one thread, median of `runs`; and the PNG's size."""
    lib = ctypes.CDLL(os.path.join(bk.BUILD, "libkxquant.so"))
    lib.kxq_options_create.restype = ctypes.c_void_p
    lib.kxq_result_destroy.argtypes = [ctypes.c_void_p]
    lib.kxq_free.argtypes = [ctypes.c_void_p]
    options = ctypes.c_void_p(lib.kxq_options_create())
    lib.kxq_set_threads(options, 1)
    h, w, _ = rgb.shape
    data = np.ascontiguousarray(rgb)
    times, size = [], 0
    for _ in range(runs):
        result, out, n = ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_size_t()
        t = time.perf_counter()
        assert lib.kxq_quantize(options, data.ctypes.data_as(ctypes.c_void_p), w, h,
                                ctypes.c_size_t(3 * w), 3, ctypes.byref(result)) == 0
        assert lib.kxq_write_png(options, result, None, ctypes.c_size_t(0), None,
                                 ctypes.c_double(0), ctypes.c_double(0), ctypes.byref(out),
                                 ctypes.byref(n)) == 0
        times.append(time.perf_counter() - t)
        size = n.value
        lib.kxq_free(out)
        lib.kxq_result_destroy(result)
    lib.kxq_options_destroy(options)
    return statistics.median(times), size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    bk.markdown_option(parser)
    args = parser.parse_args()
    if args.markdown is not None:
        return bk.markdown("web", args.markdown or None)
    os.makedirs(WORK, exist_ok=True)
    report = bk.Report("web")
    listed = []
    pics = pictures()
    for i, (name, rgb, with_iq) in enumerate(pics):
        file = f"picture{i}.rgb"
        rgb.tofile(os.path.join(WORK, file))
        listed.append({"name": name, "file": file, "width": rgb.shape[1], "height": rgb.shape[0],
                       "png": i == 0, "image_q": METHODS if with_iq else []})
    Image.fromarray(pics[3][1]).save(os.path.join(WORK, "photo-1mp.png"))
    with open(os.path.join(WORK, "pictures.json"), "w") as f:
        json.dump(listed, f)
    browser = json.loads(subprocess.run(
        ["node", os.path.join(bk.ROOT, "bench", "web.mjs"), WORK, str(args.runs)],
        check=True, stdout=subprocess.PIPE, text=True).stdout)
    measured = browser["pictures"]

    native, _ = native_seconds(pics[0][1], args.runs)
    module = measured[0]["png"]
    report.line(f"### {pics[0][0]}: {pics[0][1].shape[1]} x {pics[0][1].shape[0]}, "
                f"palette PNG of 256 colours, one thread, median of {args.runs}\n")
    report.table(["", "s", "module / library"],
                 [["the module in Chromium (encodePng)", bk.fmt(module, 3), bk.fmt(module / native)],
                  ["libkxquant, native (kxq_quantize + kxq_write_png)", bk.fmt(native, 3), "1.00"]])

    report.line("### Against image-q: 256 colours, seconds and PSNR (dB); kxquant median of "
                f"{args.runs}, image-q one run each\n")
    rows = []
    for m in measured:
        iq = {k: v for k, v in m.items() if k.startswith("image-q")}
        fastest = min(iq.values(), key=lambda v: v["seconds"])
        best = max(iq.values(), key=lambda v: v["psnr"])
        kx = m["kxquant none"]
        rows.append([m["name"]] + [f"{m[k]['seconds']:.2f} / {m[k]['psnr']:.2f}"
                                   for k in ["kxquant none", "kxquant adaptive"]]
                    + [f"{v['seconds']:.2f} / {v['psnr']:.2f}" for v in iq.values()]
                    + [bk.fmt(fastest["seconds"] / kx["seconds"], 1),
                       f"{kx['psnr'] - best['psnr']:+.2f}"])
    report.table(["picture", "kxquant no dither", "kxquant adaptive"]
                 + [f"image-q {k}" for k in METHODS]
                 + ["image-q fastest / kxquant", "kxquant - image-q best PSNR"], rows)

    report.line("### Against libimagequant's WebAssembly build (npm libimagequant-wasm 0.3.0, "
                f"its default speed): 256 colours, seconds and PSNR (dB), medians of {args.runs}\n")
    rows = []
    for m in measured:
        kx, liq = m["kxquant none"], m["libimagequant none"]
        rows.append([m["name"]] + [f"{m[k]['seconds']:.2f} / {m[k]['psnr']:.2f}" for k in
                                   ["kxquant none", "libimagequant none", "kxquant adaptive",
                                    "libimagequant dithered"]]
                    + [bk.fmt(liq["seconds"] / kx["seconds"], 1), f"{kx['psnr'] - liq['psnr']:+.2f}"])
    report.table(["picture", "kxquant no dither", "libimagequant no dither", "kxquant adaptive",
                  "libimagequant dithered", "libimagequant / kxquant time",
                  "kxquant - libimagequant PSNR (no dither)"], rows)

    site = os.path.join(bk.BUILD, "web", "site")
    sizes = {f: len(gzip.compress(open(os.path.join(site, f), "rb").read(), 9))
             for f in ["kxquant-core.wasm", "kxquant-core.js", "kxquant.js"]}
    page = {f: len(gzip.compress(open(os.path.join(site, f), "rb").read(), 9))
            for f in ["index.html", "app.js", "worker.js", "sizes.js", "style.css"]}
    report.line("### The download, gzip -9\n")
    report.table(["files", "KB"],
                 [["the module and its glue: " + ", ".join(sizes), bk.fmt(sum(sizes.values()) / 1024, 1)],
                  ["the page: " + ", ".join(page), bk.fmt(sum(page.values()) / 1024, 1)]])
    firsts = ", ".join(f"{s:.2f}" for s in browser["first_results"])
    report.line(f"The page's first result for a 1 MP photograph ({pics[3][0]}) given through its "
                f"file input on a fresh page, until the reduced picture is shown: median "
                f"{browser['first_result']:.2f} s ({firsts}).")
    report.save()


if __name__ == "__main__":
    main()
