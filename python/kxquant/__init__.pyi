# Types of the kxquant package (the functions are documented in __init__.py).
import os
from typing import BinaryIO, Dict, Iterable, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
from PIL import Image

__version__: str
library_version: str
DITHERS: Dict[str, int]
DEFAULT_DITHER: str
__all__ = ["quantize", "quantize_image", "remap", "DITHERS", "DEFAULT_DITHER", "SharedPalette",
           "save_gif", "save_png", "QualityTooLow"]

# An array of uint8, height x width x 3 (RGB) or x 4 (RGBA), or a PIL image.
_Picture = Union[npt.NDArray[np.uint8], Image.Image]
# A name of DITHERS, None for the command's default, or Pillow's
# Image._Dither.NONE (0) or FLOYDSTEINBERG (3).
_Dither = Optional[Union[Literal["none", "diffusion", "adaptive"], int]]
# Integers 0 to 255 in rows of 3 (RGB) or 4 (RGBA), or a PIL image in mode "P".
_PaletteLike = Union[npt.ArrayLike, Image.Image]
# The palette (entries x 4, RGBA) and the indices (height x width), uint8.
_Reduced = Tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint8]]

# A quality range as -Q gives it: its maximum, or (minimum, maximum), 0 to 100.
_Quality = Optional[Union[int, Tuple[int, int]]]
_Output = Optional[Union[str, os.PathLike[str], BinaryIO]]

class QualityTooLow(ValueError):
    quality: int
    result: Union[_Reduced, bytes]

def quantize(image: _Picture, colors: int = ..., dither: _Dither = ..., *, factor: float = ...,
             refine: bool = ..., threads: int = ..., quality: _Quality = ...,
             fit_worst: bool = ...) -> _Reduced: ...
def remap(image: _Picture, palette: _PaletteLike, dither: _Dither = ..., *, factor: float = ...,
          threads: int = ...) -> _Reduced: ...
def quantize_image(image: _Picture, colors: int = ..., dither: _Dither = ..., *,
                   factor: float = ..., refine: bool = ..., threads: int = ...) -> Image.Image: ...

class SharedPalette:
    def __init__(self, colors: int = ..., dither: _Dither = ..., *, factor: float = ...,
                 refine: bool = ..., threads: int = ...) -> None: ...
    def add(self, image: _Picture) -> None: ...
    def palette(self) -> npt.NDArray[np.uint8]: ...
    def remap(self, image: _Picture) -> _Reduced: ...

def save_gif(frames: Iterable[_Picture],
             path_or_file: Optional[Union[str, os.PathLike[str], BinaryIO]] = ...,
             delays: Union[int, Sequence[int]] = ..., loop: Optional[int] = ...,
             colors: int = ..., dither: _Dither = ..., *, factor: float = ..., refine: bool = ...,
             threads: int = ..., quality: int = ...) -> bytes: ...

def save_png(image: _Picture, file: _Output = ..., colors: int = ..., dither: _Dither = ..., *,
             quality: _Quality = ..., factor: float = ..., refine: bool = ..., threads: int = ...,
             icc_profile: Optional[bytes] = ..., dpi: Optional[Tuple[float, float]] = ...,
             icc_name: Optional[str] = ..., fit_worst: bool = ...) -> bytes: ...
