"""kxquant: a picture to a palette of at most 256 colours and one palette
index a pixel, with the kxquant command's reduction: for the same pixels and
options, the palette and indices of the PNG the command writes.

    palette, indices = kxquant.quantize(pixels, colors=64)
    picture = kxquant.quantize_image(Image.open("photo.png"))  # mode "P"

Pixels are a NumPy array of uint8, height x width x 3 (RGB) or x 4 (RGBA),
or a PIL image. The work runs without the GIL, on as many threads as the
process may use unless `threads` says otherwise; the answer is the same for
any thread count. Errors are raised with the library's words: TypeError for
pixels that are not uint8 arrays or pictures, ValueError for a shape, size
or option out of range, MemoryError, RuntimeError for anything else.
"""
import numbers as _numbers

import numpy as _np

from . import _kxquant

__version__ = _kxquant.version
library_version = _kxquant.library_version

# The dithering kinds; DEFAULT_DITHER is the command's.
DITHERS = {"none": 0, "diffusion": 1, "adaptive": 2}
DEFAULT_DITHER = "adaptive"

__all__ = ["quantize", "quantize_image", "remap", "DITHERS", "DEFAULT_DITHER"]


def _pil():
    try:
        from PIL import Image
    except ImportError:
        return None
    return Image


# Pillow's modes of 16-bit grey (a 16-bit grey PNG opens as "I" or "I;16").
_GREY16 = ("I", "I;16", "I;16L", "I;16B", "I;16N")


def _pixels(image):
    """The pixels of an array as they are, or of a PIL image as RGB or RGBA;
    16-bit grey is rounded to 8 bits as the kxquant command reads it."""
    if isinstance(image, _np.ndarray):
        return image
    Image = _pil()
    if Image is not None and isinstance(image, Image.Image):
        if image.mode in _GREY16:
            return _grey16(image)
        if image.mode not in ("RGB", "RGBA"):
            alpha = image.mode in ("LA", "La", "PA", "RGBa") or "transparency" in image.info
            image = image.convert("RGBA" if alpha else "RGB")
        return _np.asarray(image)
    return image  # refused by the extension with its type


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


def _dither(dither):
    name = DEFAULT_DITHER if dither is None else dither
    if name not in DITHERS:
        raise ValueError(f"dither {name!r}; one of {', '.join(DITHERS)}")
    return DITHERS[name]


def quantize(image, colors=256, dither=None, *, factor=0.7, refine=True, threads=0):
    """(palette, indices): the palette as an entries x 4 array (RGBA, the
    entries that are not opaque first) and the indices as a height x width
    array, both uint8.

    colors: 2 to 256. dither: one of DITHERS (None: the command's default);
    factor: the strength of "diffusion", 0 < factor <= 1. refine: False keeps
    the median cut's palette (kxquant --no-refine). threads: 0 for one per
    processor.
    """
    return _kxquant.quantize(_pixels(image), _whole("colors", colors, 2, 256), _dither(dither),
                             factor, refine, _whole("threads", threads, 0, 1024))


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
