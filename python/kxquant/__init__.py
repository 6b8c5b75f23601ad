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

__version__ = "1.0.0"
library_version = _kxquant.library_version

# The dithering kinds; DEFAULT_DITHER is the command's.
DITHERS = {"none": 0, "diffusion": 1, "adaptive": 2}
DEFAULT_DITHER = "adaptive"

__all__ = ["quantize", "quantize_image", "remap", "DITHERS", "DEFAULT_DITHER"]


def _pixels(image):
    """The pixels of an array as they are, or of a PIL image as RGB or RGBA."""
    if isinstance(image, _np.ndarray):
        return image
    try:
        from PIL import Image
    except ImportError:
        Image = None
    if Image is not None and isinstance(image, Image.Image):
        if image.mode not in ("RGB", "RGBA"):
            alpha = image.mode in ("LA", "La", "PA", "RGBa") or "transparency" in image.info
            image = image.convert("RGBA" if alpha else "RGB")
        return _np.asarray(image)
    return image  # refused by the extension with its type


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
    (an entries x 4 RGBA array): that palette with the entries that are not
    opaque first, and the indices into it. A fully transparent entry when
    all others are opaque takes the pixels with alpha below 128."""
    return _kxquant.remap(_pixels(image), _np.asarray(palette), _dither(dither), factor,
                          _whole("threads", threads, 0, 1024))


def quantize_image(image, colors=256, dither=None, **options):
    """The picture reduced, as a PIL image in mode "P" whose palette has the
    entries' alpha as its transparency (saved as a PNG's tRNS)."""
    from PIL import Image

    palette, indices = quantize(image, colors, dither, **options)
    out = Image.fromarray(indices, mode="P")
    out.putpalette(palette[:, :3].tobytes(), rawmode="RGB")
    alpha = palette[:, 3]
    if (alpha < 255).any():
        out.info["transparency"] = alpha.tobytes()
    return out
