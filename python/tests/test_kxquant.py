"""The kxquant package against the kxquant command: the palette and indices of
the command's PNG (read back by Pillow) byte for byte, alpha, refusals, and
calls from several threads at once.

Run from the repository after scripts/build, in a virtual environment with
the package installed (scripts/test does):  python -m pytest python/tests
"""
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import kxquant

BUILD = Path(os.environ.get("KX_BUILD_DIR") or Path(__file__).resolve().parents[2] / "build")


def pixels(width, height, seed, alpha=None, noisy=False):
    """Ramps with noise; alpha: None, "binary" (holes in the lower half) or
    "soft" (every value in the lower half)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    noise = rng.integers(0, 256 if noisy else 4, (height, width))
    rgb = np.stack([(x * 255 // width) ^ (noise & 63), (y * 255 // height) ^ (noise >> 2),
                    (x + 2 * y + seed * 40) ^ noise], axis=-1).astype(np.uint8)
    if alpha is None:
        return rgb
    a = np.full((height, width), 255, np.uint8)
    lower = y > height // 2
    if alpha == "binary":
        a[lower & ((x // 5 + y // 3) % 3 == 0)] = 0
    else:
        a[lower] = (x * 255 // width)[lower]
    return np.dstack([rgb, a])


def command(tmp_path, picture, args):
    """The palette (RGBA) and indices of kxquant's PNG of the picture."""
    Image.fromarray(picture).save(tmp_path / "in.png")
    subprocess.run([str(BUILD / "kxquant"), "-q", "-f", *args, "-o", str(tmp_path / "out.png"),
                    str(tmp_path / "in.png")], check=True)
    with Image.open(tmp_path / "out.png") as png:
        png.load()
        rgb = np.frombuffer(png.palette.palette, np.uint8).reshape(-1, 3)
        alpha = np.full(len(rgb), 255, np.uint8)
        trns = png.info.get("transparency")
        if isinstance(trns, int):
            alpha[trns] = 0
        elif trns is not None:
            alpha[:len(trns)] = np.frombuffer(trns, np.uint8)
        return np.column_stack([rgb, alpha]), np.asarray(png)


CASES = [
    # name, picture, library options, command options
    ("opaque", pixels(90, 60, 1), {}, []),
    ("none", pixels(90, 60, 6), dict(colors=100, dither="none"), ["-n", "100", "--no-dither"]),
    ("16-diffusion", pixels(90, 60, 2), dict(colors=16, dither="diffusion"), ["-n", "16", "-a"]),
    ("many-no-refine", pixels(320, 240, 3, noisy=True), dict(colors=64, refine=False),
     ["-n", "64", "--no-refine"]),
    ("transparent", pixels(90, 60, 4, "binary"), dict(colors=32, dither="diffusion", factor=0.4),
     ["-n", "32", "-a", "0.4"]),
    ("alpha", pixels(90, 60, 5, "soft"), dict(colors=48, threads=3), ["-n", "48"]),
]


@pytest.mark.parametrize("name,picture,options,args", CASES, ids=[c[0] for c in CASES])
def test_same_as_command(tmp_path, name, picture, options, args):
    palette, indices = kxquant.quantize(picture, **options)
    expected_palette, expected_indices = command(tmp_path, picture, args)
    assert palette.tobytes() == expected_palette.tobytes()
    assert indices.tobytes() == expected_indices.tobytes()
    # A PIL image gives the same; so does a view of rows in a larger array.
    mode = "RGBA" if picture.shape[2] == 4 else "RGB"
    from_pil = kxquant.quantize(Image.fromarray(picture, mode), **options)
    wider = np.zeros((picture.shape[0], picture.shape[1] + 7, picture.shape[2]), np.uint8)
    wider[:, 3:3 + picture.shape[1]] = picture
    from_view = kxquant.quantize(wider[:, 3:3 + picture.shape[1]], **options)
    for p, i in (from_pil, from_view):
        assert p.tobytes() == palette.tobytes() and i.tobytes() == indices.tobytes()


def test_alpha_as_a_pil_image_in_mode_p(tmp_path):
    picture = pixels(64, 48, 6, "soft")
    image = kxquant.quantize_image(picture, 32)
    assert image.mode == "P" and image.size == (64, 48)
    palette, indices = kxquant.quantize(picture, 32)
    assert 0 < (palette[:, 3] < 255).sum() < len(palette)
    # Saved and read back, every pixel has its entry's colour and alpha.
    image.save(tmp_path / "p.png")
    with Image.open(tmp_path / "p.png") as back:
        seen = np.asarray(back.convert("RGBA"))
    assert seen.tobytes() == palette[indices].tobytes()


def test_remap_to_the_palette_found():
    picture = pixels(80, 50, 7)
    palette, indices = kxquant.quantize(picture, 24)
    again, mapped = kxquant.remap(picture, palette)
    assert again.tobytes() == palette.tobytes() and mapped.tobytes() == indices.tobytes()


@pytest.mark.parametrize("image,error,words", [
    (np.zeros((4, 4, 3), np.float32), TypeError, "dtype float32"),
    (np.zeros((4, 4, 3), np.int16), TypeError, "dtype int16"),
    ([[[0, 0, 0]]], TypeError, "not list"),
    (np.zeros((4, 4), np.uint8), ValueError, "shape (4, 4)"),
    (np.zeros((4, 4, 2), np.uint8), ValueError, "shape (4, 4, 2)"),
    (np.zeros((1, 4, 4, 3), np.uint8), ValueError, "shape (1, 4, 4, 3)"),
    (np.zeros((0, 4, 3), np.uint8), ValueError, "4 x 0 pixels has none"),
    (np.zeros((4, 0, 4), np.uint8), ValueError, "0 x 4 pixels has none"),
    # A view of a few bytes is refused by its size, before any copy.
    (np.broadcast_to(np.zeros(3, np.uint8), (33000, 33000, 3)), ValueError,
     "33000 x 33000 pixels; at most"),
])
def test_refusals(image, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        kxquant.quantize(image)


@pytest.mark.parametrize("options,words", [
    (dict(colors=1), "2 to 256 colours"),
    (dict(colors=300), "2 to 256 colours"),
    (dict(dither="floyd"), "dither 'floyd'"),
    (dict(dither="diffusion", factor=1.5), "factor"),
    (dict(threads=-1), "threads"),
    (dict(colors=2**40), "colors=1099511627776: 2 to 256"),
    (dict(threads=-2**40), "threads=-1099511627776"),
])
def test_option_refusals(options, words):
    with pytest.raises(ValueError, match=words):
        kxquant.quantize(np.zeros((4, 4, 3), np.uint8), **options)


def test_threads_at_once_give_one_answer():
    picture = pixels(300, 200, 8, "soft", noisy=True)
    alone = kxquant.quantize(picture, 64, "diffusion")
    results = [None] * 6

    def work(k):
        results[k] = kxquant.quantize(picture, 64, "diffusion", threads=1 + k % 3)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for palette, indices in results:
        assert palette.tobytes() == alone[0].tobytes()
        assert indices.tobytes() == alone[1].tobytes()


def test_a_copy_memory_cannot_hold_is_a_memory_error():
    code = (
        "import resource, numpy as np, kxquant\n"
        "view = np.broadcast_to(np.zeros(3, np.uint8), (20000, 20000, 3))\n"
        "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20),) * 2)\n"
        "try:\n"
        "    kxquant.quantize(view)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout == "MemoryError\n", run.stderr
