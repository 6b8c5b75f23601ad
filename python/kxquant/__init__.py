"""kxquant: a picture to a palette of at most 256 colours and one palette
index a pixel, with the kxquant command's reduction: for the same pixels and
options, the palette and indices of the PNG the command writes.

    palette, indices = kxquant.quantize(pixels, colors=64)
    picture = kxquant.quantize_image(Image.open("photo.png"))  # mode "P"
    kxquant.save_png(Image.open("photo.png"), "photo-kx.png")  # the command's file

Pixels are a NumPy array of uint8, height x width x 3 (RGB) or x 4 (RGBA),
or a PIL image. The work runs without the GIL, on as many threads as the
process may use unless `threads` says otherwise; the answer is the same for
any thread count. Errors are raised with the library's words: TypeError for
pixels that are not uint8 arrays or pictures, ValueError for a shape, size
or option out of range, MemoryError, RuntimeError for anything else;
QualityTooLow (a ValueError) when a quality range's minimum is not reached.
"""
import numbers as _numbers

import numpy as _np

from . import _kxquant

__version__ = _kxquant.version
library_version = _kxquant.library_version

# The dithering kinds; DEFAULT_DITHER is the command's.
DITHERS = {"none": 0, "diffusion": 1, "adaptive": 2}
DEFAULT_DITHER = "adaptive"

__all__ = ["quantize", "quantize_image", "remap", "save_png", "QualityTooLow", "DITHERS",
           "DEFAULT_DITHER"]


class QualityTooLow(ValueError):
    """The quality reached with all the colours is below the quality range's
    minimum (the command's exit status 99: it writes nothing). `quality` is
    the quality reached, `result` what was made: quantize's (palette,
    indices), save_png's PNG bytes (not written)."""

    def __init__(self, message, quality, result):
        super().__init__(message)
        self.quality = quality
        self.result = result


def _quality(quality):
    """(min, max) of an int MAX (min 0, as -Q MAX) or a (min, max) pair."""
    if isinstance(quality, _numbers.Integral) and not isinstance(quality, bool):
        return 0, _whole("quality", quality, 0, 100)
    try:
        low, high = quality
    except (TypeError, ValueError):
        raise TypeError(f"quality as MAX or (MIN, MAX), not {quality!r}") from None
    return _whole("quality", low, 0, 100), _whole("quality", high, 0, 100)


def _pil():
    try:
        from PIL import Image
    except ImportError:
        return None
    return Image


# Pillow's modes of 16-bit grey (a 16-bit grey PNG opens as "I" or "I;16").
_GREY16 = ("I", "I;16", "I;16L", "I;16B", "I;16N")


def _pixels(image):
    """The pixels of an array as they are, or of a PIL image as RGB or RGBA
    (Pillow's object of the image when the extension can read its rows);
    16-bit grey is rounded to 8 bits as the kxquant command reads it."""
    if isinstance(image, _np.ndarray):
        return image
    Image = _pil()
    if Image is not None and isinstance(image, Image.Image):
        if image.mode in _GREY16:
            return _grey16(image)
        rows = _png_rows(image)
        if rows is not None:
            return rows
        if image.mode not in ("RGB", "RGBA"):
            alpha = image.mode in ("LA", "La", "PA", "RGBa") or "transparency" in image.info
            image = image.convert("RGBA" if alpha else "RGB")
        image.load()
        if image.im.mode in ("RGB", "RGBA") and hasattr(image.im, "unsafe_ptrs"):
            # Pillow's own rows, which the extension packs without the GIL:
            # numpy.asarray has Pillow's encoder pack them into bytes first
            # (80 ms of a 9 MP photograph). Newer Pillow has no unsafe_ptrs.
            return image.im
        return _np.asarray(image)
    return image  # refused by the extension with its type


def _png_rows(image):
    """The rows of a PIL image opened from a PNG and not loaded yet, read
    from its file by the extension (libdeflate, several times faster than
    Pillow's decoding) when the file is of the common kind the extension
    takes; else None, and Pillow decodes it."""
    fp = getattr(image, "fp", None)
    if image.format != "PNG" or image.mode not in ("RGB", "RGBA") or image.im is not None or \
            fp is None or image.tell() != 0 or len(image.tile) != 1 or \
            image.tile[0][3] != image.mode:
        return None
    try:
        at = fp.tell()
        try:
            fp.seek(0)
            data = fp.read()
        finally:
            fp.seek(at)
    except (OSError, ValueError, AttributeError):
        return None
    if not isinstance(data, bytes):
        return None
    return _kxquant.png_rows(data, image.width, image.height, len(image.mode))


def _grey16(image):
    """A 16-bit grey picture as RGB, or RGBA with its transparent grey: each
    sample v of 0..65535 to (v * 255 + 32767) // 65535."""
    v = _np.clip(_np.asarray(image), 0, 65535).astype(_np.uint32)
    grey = ((v * 255 + 32767) // 65535).astype(_np.uint8)
    planes = [grey, grey, grey]
    transparent = image.info.get("transparency")
    if isinstance(transparent, _numbers.Integral):
        planes.append(_np.where(v == transparent, 0, 255).astype(_np.uint8))
    return _np.dstack(planes)


def _whole(name, value, low, high):
    """A whole-number option in the range of a C int (the library's own
    check says what it takes within that range)."""
    if isinstance(value, bool) or not isinstance(value, _numbers.Integral):
        raise TypeError(f"{name} as a whole number, not {type(value).__name__}")
    if not -2**31 <= value < 2**31:
        raise ValueError(f"{name}={value}: {low} to {high}")
    return int(value)


# Pillow's Image.Dither values (plain ints to Pillow): NONE and FLOYDSTEINBERG.
_PIL_DITHERS = {0: "none", 3: "diffusion"}


def _dither(dither):
    """The library's dithering kind of a name of DITHERS, None (the command's
    default) or Pillow's Image.Dither.NONE or FLOYDSTEINBERG."""
    name = DEFAULT_DITHER if dither is None else dither
    if isinstance(name, _numbers.Integral) and not isinstance(name, bool):
        name = _PIL_DITHERS.get(int(name), name)
    if not isinstance(name, str) or name not in DITHERS:
        raise ValueError(f"dither {name!r}; one of {', '.join(DITHERS)}, or Pillow's "
                         "Image.Dither.NONE or FLOYDSTEINBERG")
    return DITHERS[name]


def quantize(image, colors=256, dither=None, *, factor=0.7, refine=True, threads=0, quality=None,
             fit_worst=False):
    """(palette, indices): the palette as an entries x 4 array (RGBA, the
    entries that are not opaque first) and the indices as a height x width
    array, both uint8.

    colors: 2 to 256. dither: one of DITHERS (None: the command's default);
    factor: the strength of "diffusion", 0 < factor <= 1. refine: False keeps
    the median cut's palette (kxquant --no-refine). threads: 0 for one per
    processor. quality: MAX or (MIN, MAX), as kxquant -Q MIN-MAX: the fewest
    colours (at most `colors`) reaching quality MAX; when all of them stay
    below MIN, QualityTooLow is raised with the quality reached and the
    (palette, indices) made. fit_worst: the palette chosen again for the
    places the first one serves worst (kxquant --fit-worst; opaque pictures).
    """
    low, high = _quality(quality) if quality is not None else (-1, -1)
    palette, indices, reached, words = _kxquant.quantize(
        _pixels(image), _whole("colors", colors, 2, 256), _dither(dither), factor, refine,
        _whole("threads", threads, 0, 1024), low, high, bool(fit_worst))
    if words is not None:
        raise QualityTooLow(words, reached, (palette, indices))
    return palette, indices


def remap(image, palette, dither=None, *, factor=0.7, threads=0):
    """(palette, indices) of the picture mapped to a palette of one's own
    (integers 0 to 255, entries x 4 for RGBA or entries x 3 for opaque RGB,
    as an array or rows; or a PIL image in mode "P", with its transparency):
    that palette with the entries that are not opaque first, and the indices
    into it. A fully transparent entry when all others are opaque takes the
    pixels with alpha below 128."""
    return _kxquant.remap(_pixels(image), _palette(palette), _dither(dither), factor,
                          _whole("threads", threads, 0, 1024))


def _palette(palette):
    """A palette as the library takes it, entries x 4 uint8 (RGBA), from a
    PIL image in mode "P" or integers in rows of 3 (RGB, opaque) or 4."""
    Image = _pil()
    if Image is not None and isinstance(palette, Image.Image):
        if palette.mode != "P":
            raise TypeError(f"a palette from a picture in mode {palette.mode}; mode P is needed")
        if palette.palette.mode == "RGBA":
            return _np.array(palette.getpalette("RGBA"), _np.uint8).reshape(-1, 4)
        rgb = _np.array(palette.getpalette(), _np.uint8).reshape(-1, 3)
        alpha = _np.full(len(rgb), 255, _np.uint8)
        transparent = palette.info.get("transparency")
        if isinstance(transparent, int):
            alpha[transparent:transparent + 1] = 0
        elif transparent is not None:
            given = _np.frombuffer(bytes(transparent), _np.uint8)[:len(alpha)]
            alpha[:len(given)] = given
        return _np.column_stack([rgb, alpha])
    try:
        entries = _np.asarray(palette)
    except ValueError:
        raise ValueError("a palette whose entries are not all of 3 or 4 values") from None
    if entries.dtype.kind not in "ui":
        raise TypeError(f"a palette of dtype {entries.dtype}; integers 0 to 255 are needed")
    if entries.ndim != 2 or entries.shape[1] not in (3, 4):
        raise ValueError(f"a palette of shape {entries.shape}; (entries, 3) for RGB or "
                         "(entries, 4) for RGBA")
    if not 1 <= len(entries) <= 256:
        raise ValueError(f"a palette of {len(entries)} entries; 1 to 256")
    low, high = entries.min(), entries.max()
    if low < 0 or high > 255:
        raise ValueError(f"a palette with values {low} to {high}; 0 to 255")
    if entries.shape[1] == 3:
        entries = _np.column_stack([entries, _np.full(len(entries), 255)])
    return _np.ascontiguousarray(entries, _np.uint8)


# ---- One palette for several pictures, and animated GIFs -------------------------

class SharedPalette:
    """One palette for several pictures, as the kxquant command's -u chooses
    it: each picture added gets a palette of its own, and the palette is
    chosen from those, in the order added.

        shared = kxquant.SharedPalette(colors=64)
        for picture in pictures:
            shared.add(picture)
        results = [shared.remap(picture) for picture in pictures]

    remap(picture) gives (palette, indices) as kxquant -u writes each input's
    PNG: the whole palette; palette() gives it alone (entries x 4, RGBA), to
    keep or to hand to kxquant.remap with the same dither and factor. Options
    as quantize's. Pictures are not kept. Calls may come from several
    threads; they run one at a time.
    """

    def __init__(self, colors=256, dither=None, *, factor=0.7, refine=True, threads=0):
        self._shared = _kxquant.SharedPalette(_whole("colors", colors, 2, 256), _dither(dither),
                                              factor, refine, _whole("threads", threads, 0, 1024))

    def add(self, image):
        """Counts the picture's colours into the palette to be chosen."""
        self._shared.add(_pixels(image))

    def palette(self):
        """The palette chosen from the pictures added so far; a ValueError
        when none was added."""
        return self._shared.palette()

    def remap(self, image):
        """(palette, indices) of the picture mapped to the chosen palette."""
        return self._shared.remap(_pixels(image))


def save_gif(frames, path_or_file=None, delays=100, loop=0, colors=256, dither=None, *,
             factor=0.7, refine=True, threads=0, quality=100):
    """The bytes of an animated GIF of the frames (arrays or PIL images, as
    quantize takes them), those that kxquant -o x.gif writes for the same
    frames and options: one palette counted from every frame, each frame
    after the first stored as what changed, frames smaller than the largest
    centred on it, pixels of alpha 0 transparent and partly transparent
    ones dithered between transparent and opaque.

    path_or_file: also written there, a file name (replaced only once the
    GIF is complete) or a binary file object. delays: milliseconds each
    frame is shown, 0 to 655350, one number for all or one per frame (a GIF
    counts hundredths: frame k starts at the sum of the delays before it
    rounded to hundredths). loop: 0 repeats for ever, 1 to 65535 times, None
    (or -1) plays once. quality: 0 to 100, as kxquant -Q for a GIF: below
    100, fewer bytes for pixels a little off their colours. Other options
    as quantize's.
    """
    import itertools

    if loop is None:
        loop = -1
    gif = _kxquant.Gif(_whole("colors", colors, 2, 256), _dither(dither), factor, refine,
                       _whole("threads", threads, 0, 1024), _whole("loop", loop, -1, 65535),
                       _whole("quality", quality, 0, 100))
    if isinstance(delays, _numbers.Number):
        delays = itertools.repeat(delays)  # frames taken one at a time, as they come
    else:
        frames, delays = list(frames), list(delays)
        if len(delays) != len(frames):
            raise ValueError(f"{len(delays)} delays for {len(frames)} frames; one number or "
                             "one a frame")
    for frame, delay in zip(frames, delays):
        gif.add(_pixels(frame), _whole("delay", delay, 0, 655350))
    data = gif.write()
    if path_or_file is not None:
        _put(path_or_file, data)
    return data


def _put(path_or_file, data):
    """The bytes written to a binary file object, or to a file by name under
    a temporary name beside it (made with the umask's permissions, as open
    makes a file) and put in place when complete."""
    import os
    import secrets

    if hasattr(path_or_file, "write"):
        path_or_file.write(data)
        return
    path = os.path.abspath(os.fspath(path_or_file))
    folder, name = os.path.split(path)
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.part")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


__all__ += ["SharedPalette", "save_gif"]
# ---- End of one palette for several pictures, and animated GIFs ------------------


def quantize_image(image, colors=256, dither=None, **options):
    """The picture reduced, as a PIL image in mode "P" whose palette has the
    entries' alpha as its transparency (saved as a PNG's tRNS; a single
    transparent entry as its index, which a GIF keeps too), with a PIL
    picture's icc_profile and dpi in its info."""
    from PIL import Image

    palette, indices = quantize(image, colors, dither, **options)
    out = Image.fromarray(indices, mode="P")
    out.putpalette(palette[:, :3].tobytes(), rawmode="RGB")
    alpha = palette[:, 3]
    if (alpha < 255).any():
        # One transparent entry, the rest opaque: its index, which a GIF keeps too.
        single = alpha[0] == 0 and (alpha[1:] == 255).all()
        out.info["transparency"] = 0 if single else alpha.tobytes()
    if isinstance(image, Image.Image):
        out.info.update({k: image.info[k] for k in ("icc_profile", "dpi") if k in image.info})
    return out


def _png_profile_name(image):
    """The name of the ICC profile of the PNG file a PIL image was opened
    from (Pillow does not keep it; the command keeps it), or None."""
    path = getattr(image, "filename", None)
    if getattr(image, "format", None) != "PNG" or not path:
        return None
    try:
        with open(path, "rb") as f:
            f.seek(8)
            while True:
                head = f.read(8)
                if len(head) < 8 or head[4:] in (b"IDAT", b"IEND"):
                    return None
                size = int.from_bytes(head[:4], "big")
                if head[4:] == b"iCCP":
                    return f.read(min(size, 80)).split(b"\0")[0].decode("latin-1")
                f.seek(size + 4, 1)
    except OSError:
        return None


def save_png(image, file=None, colors=256, dither=None, *, quality=None, factor=0.7,
             refine=True, threads=0, icc_profile=None, dpi=None, icc_name=None, fit_worst=False):
    """The PNG the kxquant command writes for the picture with the same
    options (colors, dither, factor, refine, quality, fit_worst as for quantize), as
    bytes, also written to `file` (a path, or a file open for writing) when
    given. A PIL picture's icc_profile and dpi are kept, as the command keeps
    them, unless given here (dpi: (x, y) pixels per inch); icc_name is the
    profile's name in the PNG (None: the name in the PNG file the picture was
    opened from, else the command's "ICC profile"). The command also keeps a
    PNG's sRGB, gAMA and cHRM chunks, which Pillow does not give: a picture
    with them differs in those. Below the quality range's minimum nothing is
    written and QualityTooLow is raised with the PNG's bytes.
    """
    Image = _pil()
    info = image.info if Image is not None and isinstance(image, Image.Image) else {}
    if icc_profile is None:
        icc_profile = info.get("icc_profile") or b""
    if dpi is None:
        dpi = info.get("dpi", (0, 0))
    if icc_name is None and icc_profile:
        icc_name = _png_profile_name(image)
    low, high = _quality(quality) if quality is not None else (-1, -1)
    png, reached, words = _kxquant.png(
        _pixels(image), _whole("colors", colors, 2, 256), _dither(dither), factor, refine,
        _whole("threads", threads, 0, 1024), low, high, bytes(icc_profile), icc_name,
        float(dpi[0]), float(dpi[1]), bool(fit_worst))
    if words is not None:
        raise QualityTooLow(words, reached, png)
    if file is not None:
        _put(file, png)
    return png
