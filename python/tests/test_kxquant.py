"""The kxquant package against the kxquant command: the palette and indices of
the command's PNG (read back by Pillow) byte for byte, alpha, refusals, and
calls from several threads at once.

Run in a virtual environment with the package installed (scripts/test
does):  python -m pytest python/tests. The comparisons with the command need
it built (scripts/build; KX_BUILD_DIR names another build folder than build/).
"""
import os
import re
import struct
import subprocess
import sys
import zlib
from concurrent.futures import ThreadPoolExecutor
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


def run_command(tmp_path, pictures, args):
    """kxquant run in tmp_path on the pictures saved as in0.png, in1.png...
    (None: that file is there already)."""
    if not (BUILD / "kxquant").is_file():
        pytest.skip(f"no kxquant command to compare with in {BUILD} (scripts/build makes it)")
    names = [f"in{i}.png" for i in range(len(pictures))]
    for name, picture in zip(names, pictures):
        if picture is not None:
            Image.fromarray(picture).save(tmp_path / name)
    subprocess.run([str(BUILD / "kxquant"), "-q", "-f", *args, *names], check=True, cwd=tmp_path,
                   stderr=subprocess.PIPE)


def command(tmp_path, picture, args):
    """The palette (RGBA) and indices of kxquant's PNG of the picture."""
    run_command(tmp_path, [picture], [*args, "-o", "out.png"])
    return read_png(tmp_path / "out.png")


def as_bytes(result):
    """A palette and indices (or any arrays) as bytes, to compare in one go."""
    return tuple(array.tobytes() for array in result)


def read_png(path):
    with Image.open(path) as png:
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
    ("16-diffusion", pixels(90, 60, 2), dict(colors=16, dither="diffusion"), ["-n", "16", "-a"]),
    # Pillow's Image.Dither.NONE (its FLOYDSTEINBERG, 3, is the GIFs').
    ("none-pillow", pixels(90, 60, 6), dict(colors=100, dither=Image.Dither.NONE),
     ["-n", "100", "--no-dither"]),
    ("many-no-refine", pixels(320, 240, 3, noisy=True), dict(colors=64, refine=False),
     ["-n", "64", "--no-refine"]),
    ("transparent", pixels(90, 60, 4, "binary"), dict(colors=32, dither="diffusion", factor=0.4),
     ["-n", "32", "-a", "0.4"]),
    ("alpha", pixels(90, 60, 5, "soft"), dict(colors=48, threads=3), ["-n", "48"]),
    # Pillow opens a 16-bit grey PNG in mode "I" (or "I;16"); brought to 8 bits as kxquant does.
    ("grey-16", (np.add.outer(np.arange(40) * 131, np.arange(256) * 257) % 65536).astype(np.uint16),
     dict(colors=64), ["-n", "64"]),
    ("quality", pixels(160, 120, 8), dict(quality=(30, 85)), ["-Q", "30-85"]),
    ("quality-max", pixels(90, 60, 9, "binary"), dict(colors=64, quality=70),
     ["-n", "64", "-Q", "70"]),
    ("fit-worst", pixels(160, 120, 10), dict(colors=32, fit_worst=True),
     ["-n", "32", "--fit-worst"]),
]


@pytest.fixture
def small_blocks():
    """Pillow's pictures made in blocks of 4 KiB, its least (16 MiB as it
    comes), so that the rows of a small one are in several, as a photograph's."""
    size = Image.core.get_block_size() if hasattr(Image.core, "set_block_size") else None
    if size:
        Image.core.set_block_size(4096)
    yield
    if size:
        Image.core.set_block_size(size)


@pytest.mark.parametrize("name,picture,options,args", CASES, ids=[c[0] for c in CASES])
def test_same_as_command(tmp_path, small_blocks, name, picture, options, args):
    expected = as_bytes(command(tmp_path, picture, args))
    # The command's input as Pillow opens it, a PIL image of the array, the
    # array, and a view of its rows in a larger array all give the same.
    with Image.open(tmp_path / "in0.png") as png:
        sources = [png.copy(), Image.fromarray(picture)]
    sources.append(Image.open(tmp_path / "in0.png"))  # not loaded: its file's rows are read
    if picture.dtype == np.uint8:
        sources += [picture, np.pad(picture, ((0, 0), (3, 4), (0, 0)))[:, 3:-4]]
        if picture.shape[2] == 3:  # Pillow's fourth byte of RGB, not 255 here, is not read
            padded = np.dstack([picture, picture[..., :1] ^ 90]).tobytes()
            sources.append(Image.frombytes("RGB", picture.shape[1::-1], padded, "raw", "RGBX"))
    for source in sources:
        assert as_bytes(kxquant.quantize(source, **options)) == expected
        assert kxquant.save_png(source, **options) == (tmp_path / "out.png").read_bytes()


def png_file(rows, filters, depth=8, interlace=0, after=None):
    """A PNG of the rows (height x width x 3 or 4) with the given filter of
    each row (cycled), its IDAT in two chunks, a chunk `after` (type, data)
    before IEND."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data))
    h, w, c = rows.shape
    bpp, raw = c * depth // 8, b""
    for y in range(h):
        cur = rows[y].astype(np.int64).reshape(-1).repeat(depth // 8)
        up = rows[y - 1].astype(np.int64).reshape(-1).repeat(depth // 8) if y else 0 * cur
        left = np.concatenate([np.zeros(bpp, np.int64), cur[:-bpp]])
        corner = np.concatenate([np.zeros(bpp, np.int64), up[:-bpp]])
        p = left + up - corner
        pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
        paeth = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, corner))
        f = filters[y % len(filters)]
        predicted = [0 * cur, left, up, (left + up) // 2, paeth][f]
        raw += bytes([f]) + ((cur - predicted) % 256).astype(np.uint8).tobytes()
    data = zlib.compress(raw)
    header = struct.pack(">IIBBBBB", w, h, depth, 6 if c == 4 else 2, 0, 0, interlace)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data[:9]) + \
        chunk(b"IDAT", data[9:]) + (chunk(*after) if after else b"") + chunk(b"IEND", b"")


@pytest.mark.parametrize("channels,width,filters,kind", [
    (3, 37, [0, 1, 2, 3, 4], dict()), (4, 37, [4, 3, 2, 1, 0], dict()), (3, 1, [4, 1, 3], dict()),
    (4, 5, [4], dict(after=(b"eXIf", b"MM\0*"))),  # a chunk Pillow reads on load
    (3, 5, [4], dict(depth=16)), (3, 5, [4], dict(interlace=1))])
def test_a_png_not_loaded_is_read_from_its_file_as_pillow_reads_it(tmp_path, channels, width,
                                                                  filters, kind):
    rows = pixels(width, 23, 7, alpha="soft" if channels == 4 else None, noisy=True)
    (tmp_path / "a.png").write_bytes(png_file(rows, filters, **kind))
    image = Image.open(tmp_path / "a.png")
    read = kxquant._png_rows(image)
    assert (read is None) == bool(kind)
    if read is not None:
        assert np.array_equal(read, rows) and np.array_equal(np.asarray(image), rows)


def test_save_png_keeps_a_pictures_profile_and_size_as_the_command(tmp_path):
    from PIL import ImageCms
    profile = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    Image.fromarray(pixels(100, 70, 3)).save(tmp_path / "in0.png", icc_profile=profile,
                                             dpi=(300, 150))
    command(tmp_path, None, ["-n", "40"])
    expected = (tmp_path / "out.png").read_bytes()
    with Image.open(tmp_path / "in0.png") as source:
        assert kxquant.save_png(source, tmp_path / "mine.png", 40) == expected
        with open(tmp_path / "mine-file.png", "wb") as f:
            kxquant.save_png(source, f, 40)
    assert (tmp_path / "mine.png").read_bytes() == expected
    assert (tmp_path / "mine-file.png").read_bytes() == expected


def test_below_the_quality_minimum_the_quality_the_command_says(tmp_path):
    picture = pixels(120, 80, 2, noisy=True)
    with pytest.raises(subprocess.CalledProcessError) as run:
        command(tmp_path, picture, ["-n", "16", "-Q", "99-100"])
    with pytest.raises(kxquant.QualityTooLow) as low:
        kxquant.quantize(picture, 16, quality=(99, 100))
    assert f"quality {low.value.quality} with 16 colours" in run.value.stderr.decode()
    assert low.value.result[1].shape == (80, 120)
    with pytest.raises(kxquant.QualityTooLow, match="below the minimum 99"):
        kxquant.save_png(picture, tmp_path / "none.png", 16, quality=(99, 100))
    assert not (tmp_path / "none.png").exists()


SHARED = [  # name, the pictures' alpha, library options, command options
    ("opaque", None, dict(colors=64), ["-n", "64"]),
    ("transparent", "binary", dict(colors=32, dither="diffusion", factor=0.4),
     ["-n", "32", "-a", "0.4"]),
    ("alpha-none", "soft", dict(colors=48, dither="none"), ["-n", "48", "--no-dither"]),
]


@pytest.mark.parametrize("alpha,options,args", [c[1:] for c in SHARED], ids=[c[0] for c in SHARED])
def test_shared_palette_same_as_command(tmp_path, alpha, options, args):
    pictures = [pixels(90, 60, 5 + i, alpha) for i in range(3)]
    shared = kxquant.SharedPalette(**options)
    for picture in pictures:
        shared.add(picture)
    run_command(tmp_path, pictures, [*args, "-u"])
    mapping = {k: v for k, v in options.items() if k in ("dither", "factor")}
    for i, picture in enumerate(pictures):
        expected = as_bytes(read_png(tmp_path / f"in{i}-kx.png"))
        assert as_bytes(shared.remap(picture)) == expected
        assert as_bytes(kxquant.remap(picture, shared.palette(), **mapping)) == expected


GIFS = [  # name, frame sizes, alpha, library options, command options, delay, loop
    ("opaque-quality-50", [(64, 48)] * 4, None, dict(quality=50), ["-Q", "50"], 100, 0),
    ("sizes-differ-transparent-once", [(60, 40), (30, 20), (60, 40), (61, 47)], "binary",
     dict(colors=32, dither=Image.Dither.FLOYDSTEINBERG), ["-n", "32", "-a"], 33, None),
    ("soft-alpha-loop-7", [(120, 90)] * 3, "soft", dict(colors=64, dither="none", refine=False),
     ["-n", "64", "--no-dither", "--no-refine"], 45, 7),
]


@pytest.mark.parametrize("sizes,alpha,options,args,delay,loop", [c[1:] for c in GIFS],
                         ids=[c[0] for c in GIFS])
def test_gif_same_as_command(tmp_path, sizes, alpha, options, args, delay, loop):
    frames = [pixels(w, h, 1 + i % 2, alpha) for i, (w, h) in enumerate(sizes)]
    # PIL images and a delay a frame, written by name; their timing and loop
    # are the command's, whose clock the C++ tests check (GifTiming).
    made = kxquant.save_gif([Image.fromarray(f) for f in frames], tmp_path / "py.gif",
                            [delay] * len(frames), loop, **options)
    assert (tmp_path / "py.gif").read_bytes() == made
    loop_args = ["--no-loop"] if loop is None else ["--loop", str(loop)]
    run_command(tmp_path, frames, [*args, "--delay", str(delay), *loop_args, "-o", "out.gif"])
    assert kxquant.save_gif(frames, delays=delay, loop=loop, **options) == made
    assert (tmp_path / "out.gif").read_bytes() == made


@pytest.mark.parametrize("args,status,words,made", [
    (["-o", "out.gif", "in0.png", "in1.png"], 0, "", ("out.gif", 2)),
    (["-f", "-n", "16", "--no-dither", "in0.png"], 0, "", ("in0-kx.png", 1)),
    (["-o", "out.gif", "missing.png", "in1.png"], 1,
     "kxquant: missing.png: cannot open: No such file or directory\n", ("out.gif", 1)),
    (["-n", "16", "--no-dither", "in0.png", "missing.png"], 1, "kxquant: missing.png: cannot open",
     ("in0-kx.png", 1)),
    (["-o", "out.png", "in0.png", "in1.png"], 2, "kxquant: -o names one output", None),
    (["-n1", "in0.png"], 2, 'kxquant: -n takes a number of colours from 2 to 256, not "1"', None),
], ids=["gif", "png", "gif-missing", "png-missing", "png-of-two", "colors"])
def test_module_as_command(tmp_path, args, status, words, made):
    for i in range(2):
        Image.fromarray(pixels(40, 30, i)).save(tmp_path / f"in{i}.png")
    run = subprocess.run([sys.executable, "-m", "kxquant", *args], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == status and run.stderr.startswith(words), run.stderr
    if made is None:
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in0.png", "in1.png"]
        return
    with Image.open(tmp_path / made[0]) as out:
        assert out.n_frames == made[1]
        if made[0].endswith(".png"):
            palette, indices = kxquant.quantize(Image.open(tmp_path / "in0.png"), 16, "none")
            assert np.asarray(out.convert("RGBA")).tobytes() == palette[indices].tobytes()


@pytest.mark.parametrize("alpha,kind", [("soft", "png"), ("binary", "png"), ("binary", "gif")])
def test_alpha_as_a_pil_image_in_mode_p(tmp_path, alpha, kind):
    picture = pixels(64, 48, 6, alpha)
    source = Image.fromarray(picture)
    source.info.update(icc_profile=b"profile", dpi=(72, 150))
    image = kxquant.quantize_image(source, 32)
    assert image.mode == "P" and image.size == (64, 48)
    assert image.info["icc_profile"] == b"profile" and image.info["dpi"] == (72, 150)
    palette, indices = kxquant.quantize(picture, 32)
    assert 0 < (palette[:, 3] < 255).sum() < len(palette)
    # Saved and read back, every pixel has its entry's colour and alpha.
    image.save(tmp_path / f"p.{kind}")
    with Image.open(tmp_path / f"p.{kind}") as back:
        seen = np.asarray(back.convert("RGBA"))
    assert seen.tobytes() == palette[indices].tobytes()


def mode_p(palette):
    image = Image.new("P", (1, 1))
    image.putpalette(palette[:, :3].tobytes())
    image.info["transparency"] = palette[:, 3].tobytes()
    return image


PALETTES = {  # name: the picture's alpha, the found palette in that form
    "rgba-uint8": ("soft", lambda p: p),
    "tuples": ("binary", lambda p: [tuple(e) for e in p.tolist()]),
    "int64": ("soft", lambda p: p.astype(np.int64)),
    "rgb-pillow": (None, lambda p: p[:, :3].tolist()),
    "mode-p": ("soft", mode_p),
}


@pytest.mark.parametrize("form", PALETTES)
def test_remap_to_the_palette_found(form):
    alpha, given = PALETTES[form]
    picture = pixels(80, 50, 7, alpha)
    found = kxquant.quantize(picture, 24)
    assert as_bytes(kxquant.remap(picture, given(found[0]))) == as_bytes(found)


FRAME = np.zeros((4, 4, 3), np.uint8)

REFUSALS = [  # the call, the error it raises and the words it says
    (lambda: kxquant.save_gif([]), ValueError, "no frame was added"),
    (lambda: kxquant.save_gif([FRAME] * 2, delays=[10]), ValueError, "1 delays for 2 frames"),
    (lambda: kxquant.save_gif([FRAME], delays=700000), ValueError, "delay of 0 to 655350"),
    (lambda: kxquant.save_gif([FRAME], loop=70000), ValueError, "loop count of 0"),
    (lambda: kxquant.SharedPalette().add(FRAME[:0]), ValueError, "has none"),
    # Palettes to remap to.
    (lambda: kxquant.remap(FRAME, np.zeros((2, 4))), TypeError, "dtype float64"),
    (lambda: kxquant.remap(FRAME, [(0, 0, 256)]), ValueError, "values 0 to 256"),
    (lambda: kxquant.remap(FRAME, np.full((2, 3), -1)), ValueError, "values -1 to -1"),
    (lambda: kxquant.remap(FRAME, np.zeros((2, 5), np.uint8)), ValueError, "shape (2, 5)"),
    (lambda: kxquant.remap(FRAME, np.zeros(4, np.uint8)), ValueError, "shape (4,)"),
    (lambda: kxquant.remap(FRAME, [(1, 2, 3), (1, 2)]), ValueError, "3 or 4 values"),
    (lambda: kxquant.remap(FRAME, np.zeros((257, 3), np.uint8)), ValueError, "257 entries"),
    (lambda: kxquant.remap(FRAME, Image.new("RGB", (1, 1))), TypeError, "mode RGB"),
    # Pictures.
    (lambda: kxquant.quantize(np.zeros((4, 4, 3), np.float32)), TypeError, "dtype float32"),
    (lambda: kxquant.quantize([[[0, 0, 0]]]), TypeError, "not list"),
    (lambda: kxquant.quantize(np.zeros((4, 4), np.uint8)), ValueError, "shape (4, 4)"),
    (lambda: kxquant.quantize(np.zeros((4, 4, 2), np.uint8)), ValueError, "shape (4, 4, 2)"),
    (lambda: kxquant.quantize(np.zeros((1, 4, 4, 3), np.uint8)), ValueError, "shape (1, 4, 4, 3)"),
    (lambda: kxquant.quantize(np.zeros((0, 4, 3), np.uint8)), ValueError, "4 x 0 pixels has none"),
    # A view of a few bytes is refused by its size, before any copy.
    (lambda: kxquant.quantize(np.broadcast_to(np.zeros(3, np.uint8), (33000, 33000, 3))),
     ValueError, "33000 x 33000 pixels; at most"),
    # Options.
    (lambda: kxquant.quantize(FRAME, colors=1), ValueError, "2 to 256 colours"),
    (lambda: kxquant.quantize(FRAME, dither="floyd"), ValueError, "dither 'floyd'"),
    (lambda: kxquant.quantize(FRAME, dither=Image.Dither.ORDERED), ValueError,
     "dither <Dither.ORDERED: 1>"),
    (lambda: kxquant.quantize(FRAME, dither="diffusion", factor=1.5), ValueError, "factor"),
    (lambda: kxquant.quantize(FRAME, threads=-1), ValueError, "threads"),
    (lambda: kxquant.quantize(FRAME, colors=2**40), ValueError, "colors=1099511627776: 2 to 256"),
    (lambda: kxquant.quantize(FRAME, threads=-2**40), ValueError, "threads=-1099511627776"),
    (lambda: kxquant.quantize(FRAME, quality=101), ValueError, "quality range of 0 to 100"),
]


@pytest.mark.parametrize("call,error,words", REFUSALS, ids=[c[2] for c in REFUSALS])
def test_refusals(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()


def test_threads_at_once_give_one_answer():
    picture = pixels(300, 200, 8, "soft", noisy=True)
    alone = as_bytes(kxquant.quantize(picture, 64, "diffusion"))
    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(
            lambda k: kxquant.quantize(picture, 64, "diffusion", threads=1 + k % 3), range(6)))
    assert [as_bytes(result) for result in results] == [alone] * 6


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


def test_version_is_the_project_version():
    cmake = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    assert kxquant.__version__ == re.search(r"project\(\w+ VERSION ([0-9.]+)", cmake)[1]
