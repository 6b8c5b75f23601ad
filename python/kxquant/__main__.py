"""python -m kxquant: the kxquant command's reduction of picture files, for
its common options, with the pictures read by Pillow (the first frame of
each): an indexed PNG beside each input (<input stem>-kx.png), one PNG
named by -o, or an animated GIF of every input named by -o NAME.gif. The
messages and the exit status are the command's: "kxquant: NAME: what is
wrong" for each input that fails (status 1, the other inputs still done),
2 for a usage error.
"""
import io
import os
import sys

import kxquant

USAGE = "Usage: kxquant [options] INPUT... (python -m kxquant --help)"
HELP = """Usage: python -m kxquant [options] INPUT...

Reduces each picture (any that Pillow reads; its first frame) to an indexed
picture of at most 256 colours with kxquant's reduction, and writes it beside
the input as <input stem>-kx.png.

Options:
  -n, --colors N      palette size, 2 to 256 (default 256)
  -a, --adjust [F]    error diffusion over every pixel, factor 0 < F <= 1
                      (default 0.7); the next argument is the factor only when
                      it is a number
      --no-dither     no error diffusion: every pixel to its nearest colour
                      (--nofs is the same)
      --no-refine     the median cut's palette as it is cut
  -u, --unique        one palette for all inputs
  -o, --output FILE   the output, by its extension: .png (one input) or .gif
                      (an animated GIF of all inputs in order, one palette)
  -f, --force         replace outputs that exist
      --delay MS      GIF: time each frame is shown (default 100)
      --loop N        GIF: loop count, 0 for ever (default 0)
      --no-loop       GIF: play once
  -q, --quiet         no notes (none are given)
  -h, --help          this text
      --version       the version
"""


class Usage(Exception):
    """A usage error: status 2, nothing done."""


class Failure(Exception):
    """An input that cannot be done: status 1, the others still done."""


def _whole(option, text, low, high, what):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or not low <= value <= high or not text.strip().isdigit():
        raise Usage(f'{option} takes {what} from {low} to {high}, not "{text}"')
    return value


def _factor(text):
    try:
        value = float(text)
    except ValueError:
        return None
    return value if value == value else None  # not NaN


def parse(argv):
    """The options and inputs of a command line, as the command takes them:
    short options grouped (-fq) and their values attached (-n16), --name=value,
    -- ending the options."""
    o = dict(colors=256, dither=None, factor=0.7, refine=True, unique=False, output=None,
             force=False, delay=None, loop=None, help=False, version=False)
    inputs = []
    args = list(argv)
    i = 0

    def value(option, attached):
        nonlocal i
        if attached is not None:
            return attached
        if i >= len(args):
            raise Usage(f"{option} needs a value")
        i += 1
        return args[i - 1]

    def adjust(option, attached):
        nonlocal i
        text = attached
        if text is None and i < len(args) and _factor(args[i]) is not None:
            text, i = args[i], i + 1
        factor = 0.7 if text is None else _factor(text)
        if factor is None or not 0 < factor <= 1:
            raise Usage(f'{option} takes a factor above 0 and at most 1, not "{text}"')
        o.update(dither="diffusion", factor=factor)

    def option(name, attached):
        if name in ("-n", "--colors"):
            o["colors"] = _whole(name, value(name, attached), 2, 256, "a number of colours")
        elif name in ("-o", "--output"):
            o["output"] = value(name, attached)
        elif name == "--delay":
            o["delay"] = _whole(name, value(name, attached), 0, 655350, "milliseconds")
        elif name == "--loop":
            o["loop"] = _whole(name, value(name, attached), 0, 65535, "a loop count")
        elif name in ("-a", "--adjust"):
            adjust(name, attached)
        elif attached is not None:
            raise Usage(f"{name} takes no value")
        elif name in ("--no-dither", "--nofs"):
            o["dither"] = "none"
        elif name in ("--no-loop",):
            o["loop"] = -1
        else:
            flags = {"-u": "unique", "--unique": "unique", "-f": "force", "--force": "force",
                     "-h": "help", "--help": "help", "--version": "version",
                     "--no-refine": "refine", "-q": None, "--quiet": None}
            if name not in flags:
                raise Usage(f"unknown option {name}")
            if flags[name]:
                o[flags[name]] = flags[name] != "refine"

    while i < len(args):
        arg = args[i]
        i += 1
        if arg == "--":
            inputs += args[i:]
            break
        if arg == "-" or not arg.startswith("-"):
            inputs.append(arg)
        elif arg.startswith("--"):
            name, equals, attached = arg.partition("=")
            option(name, attached if equals else None)
        else:
            for k, letter in enumerate(arg[1:], 1):
                rest = arg[k + 1:] or None
                if letter in "noa":
                    option("-" + letter, rest)
                    break
                option("-" + letter, None)
    return o, inputs


def read(name):
    """The picture of a file, upright (its EXIF orientation applied)."""
    from PIL import Image, ImageOps, UnidentifiedImageError

    if name == "-":
        raise Failure("standard input is not read by python -m kxquant")
    try:
        with Image.open(name) as image:
            image.load()
            return ImageOps.exif_transpose(image)
    except UnidentifiedImageError:
        raise Failure("not a picture Pillow reads") from None
    except OSError as e:
        if e.errno is not None:
            raise Failure(f"cannot open: {os.strerror(e.errno)}") from None
        raise Failure(f"damaged picture ({e})") from None
    except (ValueError, SyntaxError, EOFError) as e:
        raise Failure(f"damaged picture ({e})") from None


def png_bytes(palette, indices, source):
    """An indexed PNG of the palette and indices, with the source's ICC
    profile and physical size, written by Pillow."""
    from PIL import Image

    out = Image.fromarray(indices, mode="P")
    out.putpalette(palette[:, :3].tobytes(), rawmode="RGB")
    extra = {k: source.info[k] for k in ("icc_profile", "dpi") if k in source.info}
    alpha = palette[:, 3]
    if (alpha < 255).any():
        extra["transparency"] = alpha[:int((alpha < 255).nonzero()[0][-1]) + 1].tobytes()
    buffer = io.BytesIO()
    out.save(buffer, "PNG", optimize=True, **extra)
    return buffer.getvalue()


def write_png(picture, path, o):
    """The reduced picture as a PNG: kxquant.save_png's bytes (the command's)
    where the package has it, else Pillow's of the same palette and indices."""
    options = dict(colors=o["colors"], dither=o["dither"], factor=o["factor"],
                   refine=o["refine"])
    if hasattr(kxquant, "save_png"):
        kxquant.save_png(picture, path, **options)
    else:
        kxquant._put(path, png_bytes(*kxquant.quantize(picture, **options), picture))


def main(argv=None):
    try:
        o, inputs = parse(sys.argv[1:] if argv is None else argv)
        if o["help"]:
            print(HELP, end="")
            return 0
        if o["version"]:
            print(f"kxquant {kxquant.__version__} (Python; library {kxquant.library_version})")
            return 0
        if not inputs:
            raise Usage("no input picture")
        output = o["output"]
        kind = os.path.splitext(output)[1].lower() if output is not None else ".png"
        if output == "":
            raise Usage("-o names no file")
        if kind not in (".png", ".gif"):
            raise Usage(f"{output}: unknown output extension (python -m kxquant writes .png "
                        "and .gif)")
        if kind == ".png" and output is not None and len(inputs) > 1:
            raise Usage("-o names one output; give one input, or a .gif for all of them")
        for name, given in (("--delay", o["delay"]), ("--loop", o["loop"])):
            if given is not None and kind != ".gif":
                raise Usage(f"{name if given != -1 else '--no-loop'} applies to a .gif output "
                            "only (-o NAME.gif)")
    except Usage as e:
        print(f"kxquant: {e}\n{USAGE}", file=sys.stderr)
        return 2

    failed = False

    def fail(name, words):
        nonlocal failed
        failed = True
        print(f"kxquant: {name}: {words}", file=sys.stderr)

    def refused(path):
        """An output that exists (without -f) or is a folder, said so."""
        if os.path.isdir(path):
            fail(path, "is a folder")
        elif os.path.lexists(path) and not o["force"]:
            fail(path, "already exists (-f replaces it)")
        else:
            return False
        return True

    read_any = False
    try:
        if kind == ".gif":
            if refused(output):
                return 1

            def frames():
                nonlocal read_any
                for name in inputs:
                    try:
                        picture = read(name)
                    except Failure as e:
                        fail(name, e)
                        continue
                    read_any = True
                    yield picture

            gif = kxquant.save_gif(frames(), None, delays=100 if o["delay"] is None else o["delay"],
                                   loop=o["loop"] or 0, colors=o["colors"], dither=o["dither"],
                                   factor=o["factor"], refine=o["refine"])
            kxquant._put(output, gif)
            return 1 if failed else 0
        outputs = [output] if output is not None else \
            [os.path.splitext(name)[0] + "-kx.png" for name in inputs]
        todo = [(name, out) for name, out in zip(inputs, outputs) if not refused(out)]
        shared = None
        if o["unique"]:  # every picture read first, for the palette of all
            shared = kxquant.SharedPalette(o["colors"], o["dither"], factor=o["factor"],
                                           refine=o["refine"])
            kept = []
            for name, out in todo:
                try:
                    picture = read(name)
                    shared.add(picture)
                    kept.append((name, out, picture))
                except (Failure, ValueError, RuntimeError, MemoryError) as e:
                    fail(name, e)
            todo = kept
        for name, out, *kept in todo:
            try:
                picture = kept[0] if kept else read(name)
                if shared is not None:
                    kxquant._put(out, png_bytes(*shared.remap(picture), picture))
                else:
                    write_png(picture, out, o)
            except (Failure, ValueError, RuntimeError, MemoryError) as e:
                fail(name, e)
            except OSError as e:
                fail(out, f"cannot write: {os.strerror(e.errno) if e.errno else e}")
    except ValueError as e:  # the GIF's frames: the library's words
        if read_any:  # else every input was said to have failed
            fail(output, e)
    except OSError as e:
        fail(output, f"cannot write: {os.strerror(e.errno) if e.errno else e}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
