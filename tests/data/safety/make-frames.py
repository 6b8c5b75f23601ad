#!/usr/bin/python3
"""Files of many frames that cost little: see README beside this file.

  make-frames.py webp WIDTH HEIGHT FRAMES OUT
      an animated WebP of FRAMES lossless 8 x 8 frames (PIL) on a canvas of
      WIDTH x HEIGHT (its VP8X chunk rewritten)
  make-frames.py tiff WIDTH HEIGHT PAGES OUT
      a TIFF of PAGES grey pages of WIDTH x HEIGHT, every IFD pointing at
      the same Deflate strip of zeros
  make-frames.py repeat IN PAGES OUT
      a little-endian TIFF's first IFD PAGES times, every copy pointing at
      the same strips and tag data
  make-frames.py y4m WIDTH HEIGHT OUT
      a YUV4MPEG2 header and one FRAME line, no samples
"""
import io
import struct
import sys
import zlib


def webp(width, height, frames, out):
    from PIL import Image
    ims = [Image.new('RGB', (8, 8), (k * 37 % 256, k * 91 % 256, k * 13 % 256))
           for k in range(frames)]
    buffer = io.BytesIO()
    ims[0].save(buffer, 'WEBP', save_all=True, append_images=ims[1:], lossless=True,
                minimize_size=True)
    data = bytearray(buffer.getvalue())
    assert data[12:16] == b'VP8X'
    data[24:30] = (width - 1).to_bytes(3, 'little') + (height - 1).to_bytes(3, 'little')
    open(out, 'wb').write(data)


def tiff(width, height, pages, out):
    strip = zlib.compress(bytes(width * height), 9)
    entries = 9
    ifd_size = 2 + 12 * entries + 4
    first = 8 + len(strip)
    data = bytearray(b'II*\0' + struct.pack('<I', first) + strip)
    for page in range(pages):
        at = first + page * ifd_size
        following = at + ifd_size if page + 1 < pages else 0
        tags = [(256, 4, width), (257, 4, height), (258, 3, 8), (259, 3, 8), (262, 3, 1),
                (273, 4, 8), (277, 3, 1), (278, 4, height), (279, 4, len(strip))]
        data += struct.pack('<H', entries)
        for tag, kind, value in tags:
            data += struct.pack('<HHI', tag, kind, 1)
            data += struct.pack('<HH', value, 0) if kind == 3 else struct.pack('<I', value)
        data += struct.pack('<I', following)
    open(out, 'wb').write(data)


def repeat(source, pages, out):
    data = bytearray(open(source, 'rb').read())
    first = struct.unpack('<I', data[4:8])[0]
    entries = struct.unpack('<H', data[first:first + 2])[0]
    ifd = data[first:first + 2 + 12 * entries]
    at = len(data) + len(data) % 2
    data += bytes(at - len(data))
    data[4:8] = struct.pack('<I', at)
    for page in range(pages):
        following = at + len(ifd) + 4 if page + 1 < pages else 0
        data += ifd + struct.pack('<I', following)
        at += len(ifd) + 4
    open(out, 'wb').write(data)


def y4m(width, height, out):
    open(out, 'wb').write(b'YUV4MPEG2 W%d H%d F25:1 Ip\nFRAME\n' % (width, height))


kind, args = sys.argv[1], sys.argv[2:]
if kind == 'webp':
    webp(int(args[0]), int(args[1]), int(args[2]), args[3])
elif kind == 'tiff':
    tiff(int(args[0]), int(args[1]), int(args[2]), args[3])
elif kind == 'repeat':
    repeat(args[0], int(args[1]), args[2])
else:
    y4m(int(args[0]), int(args[1]), args[2])
