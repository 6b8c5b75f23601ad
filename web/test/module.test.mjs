// The module against the kxquant command: the same pixels (written here as
// PPM and PAM files the command reads) and options give the same bytes.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

const root = new URL('../../', import.meta.url).pathname;
const kx = await import(join(root, 'build/web/site/kxquant.js'));
const work = mkdtempSync(join(tmpdir(), 'kxquant-web-'));

// A picture with gradients, flat areas and detail; with alpha, a clear
// border and a soft corner.
function picture(width, height, seed, alpha = false) {
  const channels = alpha ? 4 : 3;
  const px = new Uint8Array(width * height * channels);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const i = (y * width + x) * channels;
      const flat = x > width / 2 && y > height / 2;
      px[i] = flat ? 200 : (x * 255) / width;
      px[i + 1] = flat ? 40 : (y * 255) / height;
      px[i + 2] = flat ? 90 : (x * y * seed) % 251;
      if (alpha) px[i + 3] = x < 4 ? 0 : x + y < 40 ? (x + y) * 6 : 255;
    }
  }
  return { pixels: px, width, height };
}

function file(name, { pixels, width, height }) {
  const alpha = pixels.length === width * height * 4;
  const header = alpha
    ? `P7\nWIDTH ${width}\nHEIGHT ${height}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n`
    : `P6\n${width} ${height}\n255\n`;
  const path = join(work, name);
  writeFileSync(path, Buffer.concat([Buffer.from(header), pixels]));
  return path;
}

function command(args) {
  const out = join(work, 'out' + (args.includes('gif') ? '.gif' : '.png'));
  execFileSync(join(root, 'build/kxquant'), ['-q', '-f', '-o', out, ...args.filter((a) => a !== 'gif')]);
  return readFileSync(out);
}

const photo = picture(640, 480, 7);
const clear = picture(300, 200, 3, true);
for (const [name, pic, options, args] of [
  ['defaults', photo, {}, []],
  ['16 colours without dithering', photo, { colors: 16, dither: 'none' }, ['-n', '16', '--no-dither']],
  ['64 colours diffused 0.5', photo, { colors: 64, dither: 0.5 }, ['-n', '64', '-a', '0.5']],
  ['a quality range', photo, { quality: [0, 60] }, ['-Q', '0-60']],
  ['the worst places fitted', photo, { colors: 64, fitWorst: true }, ['-n', '64', '--fit-worst']],
  ['alpha', clear, { colors: 32 }, ['-n', '32']],
]) {
  test(`PNG as the command writes it: ${name}`, async () => {
    const png = await kx.encodePng(pic.pixels, pic.width, pic.height, options);
    assert.ok(Buffer.from(png).equals(command([...args, file('in.pam', pic)])));
  });
}

test('animated GIF as the command writes it', async () => {
  const frames = [1, 2, 3].map((s) => picture(160, 120, s));
  const gif = await kx.encodeGif(frames, { colors: 64, delays: 40, loop: 3 });
  const names = frames.map((f, i) => file(`f${i}.ppm`, f));
  assert.ok(Buffer.from(gif).equals(command(['gif', '-n', '64', '--delay', '40', '--loop', '3', ...names])));
});

test('quantize gives the palette and an index for every pixel', async () => {
  const r = await kx.quantize(photo.pixels, photo.width, photo.height, { colors: 8 });
  assert.equal(r.palette.length, r.colors * 4);
  assert.equal(r.indices.length, photo.width * photo.height);
  assert.ok(r.colors <= 8 && r.indices.every((i) => i < r.colors));
  assert.equal(r.quality, null);
});

for (const [name, call, status, words] of [
  ['one colour', () => kx.quantize(photo.pixels, 640, 480, { colors: 1 }), 'INVALID_ARGUMENT', /2 to 256 colours/],
  ['pixels of another size', () => kx.encodePng(photo.pixels, 64, 64), 'INVALID_ARGUMENT', /neither RGBA nor RGB/],
  ['past the pixel limit', () => kx.quantize(photo.pixels, 65536, 65536), 'TOO_LARGE', /more than/],
  ['an unreachable quality', () => kx.encodePng(photo.pixels, 640, 480, { colors: 2, quality: [99, 100] }),
    'QUALITY_TOO_LOW', /quality/],
  ['a GIF without frames', () => kx.encodeGif([]), 'INVALID_ARGUMENT', /no frame/],
  ['a GIF delay out of range', () => kx.encodeGif([photo], { delays: -5 }), 'INVALID_ARGUMENT', /delay|millisecond/],
]) {
  test(`refused: ${name}`, async () => {
    await assert.rejects(call, (e) => e instanceof kx.KxquantError && e.status === status && words.test(e.message));
  });
}
