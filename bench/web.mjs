// The browser half of bench/web: in headless Chromium (Debian's), on a page
// served from build/web by a server of its own, times the module's
// encodePng on one thread, image-q's palettes, and the page's first result.
//   node bench/web.mjs WORK RUNS   (WORK/pictures.json lists the raw RGB
//   pictures; prints a JSON of the measures)
import { readFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { join, normalize } from 'node:path';

const [work, runs] = [process.argv[2], Number(process.argv[3] || 5)];
const root = new URL('../', import.meta.url).pathname;
const served = join(root, 'build/web');
const puppeteer = createRequire(join(served, 'npm/'))('puppeteer-core');
const types = { '.js': 'text/javascript', '.mjs': 'text/javascript', '.wasm': 'application/wasm',
  '.html': 'text/html', '.css': 'text/css' };
const server = createServer((req, res) => {
  const path = join(served, normalize(decodeURIComponent(req.url.split('?')[0])));
  try {
    const body = readFileSync(path);
    res.writeHead(200, { 'content-type': types[path.slice(path.lastIndexOf('.'))] || 'application/octet-stream' });
    res.end(body);
  } catch {
    res.writeHead(404).end();
  }
});
await new Promise((r) => server.listen(0, '127.0.0.1', r));
const base = `http://127.0.0.1:${server.address().port}`;
const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu'], protocolTimeout: 1800000 });
const page = await browser.newPage();
page.setDefaultTimeout(1800000);
await page.goto(`${base}/site/index.html`);
const pictures = JSON.parse(readFileSync(join(work, 'pictures.json'), 'utf8'));
const out = { pictures: [] };

for (const picture of pictures) {
  const measured = await page.evaluate(async (picture, runs, rel) => {
    const kx = await import('/site/kxquant.js');
    const iq = await import('/npm/node_modules/image-q/dist/esm/image-q.mjs');
    const rgb = new Uint8Array(await (await fetch(`/${rel}/${picture.file}`)).arrayBuffer());
    const { width, height } = picture;
    const n = width * height;
    const psnr = (get) => {
      let sum = 0;
      for (let i = 0; i < n; i++) {
        for (let c = 0; c < 3; c++) {
          const d = rgb[3 * i + c] - get(i, c);
          sum += d * d;
        }
      }
      return 10 * Math.log10((255 * 255) / (sum / (3 * n)));
    };
    const median = async (f) => {
      const times = [];
      for (let r = 0; r < runs; r++) {
        const t = performance.now();
        await f();
        times.push((performance.now() - t) / 1000);
      }
      return times.sort((a, b) => a - b)[Math.floor(times.length / 2)];
    };
    const result = { name: picture.name };
    await kx.init();
    if (picture.png) result.png = await median(() => kx.encodePng(rgb, width, height));
    for (const dither of picture.image_q ? ['none', 'adaptive'] : []) {
      let q;
      const seconds = await median(async () => (q = await kx.quantize(rgb, width, height, { dither })));
      result[`kxquant ${dither}`] = { seconds, psnr: psnr((i, c) => q.palette[4 * q.indices[i] + c]) };
    }
    const rgba = new Uint8Array(n * 4);
    for (let i = 0; i < n; i++) rgba.set(rgb.subarray(3 * i, 3 * i + 3), 4 * i), (rgba[4 * i + 3] = 255);
    if (picture.image_q) {
      // libimagequant's WebAssembly build (npm libimagequant-wasm): its
      // default speed, 256 colours, without and with its dithering.
      const wasmDir = '/npm/node_modules/libimagequant-wasm/dist/wasm';
      const liq = await import(`${wasmDir}/libimagequant_wasm.js`);
      await liq.default({ module_or_path: `${wasmDir}/libimagequant_wasm_bg.wasm` });
      const clamped = new Uint8ClampedArray(rgba.buffer);
      for (const dithering of [0, 1]) {
        let mapped;
        const seconds = await median(async () => {
          const quantizer = new liq.ImageQuantizer();
          quantizer.setMaxColors(256);
          const res = quantizer.quantizeImage(clamped, width, height);
          res.setDithering(dithering);
          mapped = res.remapImage(clamped, width, height);
          res.free();
          quantizer.free();
        });
        result[`libimagequant ${dithering ? 'dithered' : 'none'}`] = { seconds,
          psnr: psnr((i, c) => mapped[4 * i + c]) };
      }
    }
    for (const method of picture.image_q || []) {
      const t = performance.now();
      const points = iq.utils.PointContainer.fromUint8Array(rgba, width, height);
      const palette = iq.buildPaletteSync([points], { paletteQuantization: method, colors: 256 });
      const mapped = iq.applyPaletteSync(points, palette, { imageQuantization: 'nearest' }).toUint8Array();
      result[`image-q ${method}`] = { seconds: (performance.now() - t) / 1000,
        psnr: psnr((i, c) => mapped[4 * i + c]) };
    }
    return result;
  }, picture, runs, work.slice(served.length + 1));
  out.pictures.push(measured);
  process.stderr.write(`${JSON.stringify(measured)}\n`);
}

// The page: a 1 MP photograph given through its file input, until its
// result is shown (the page's own performance marks), on fresh pages.
const firsts = [];
for (let r = 0; r < runs; r++) {
  await page.goto(`${base}/site/index.html`);
  await (await page.$('#files')).uploadFile(join(work, 'photo-1mp.png'));
  await page.waitForFunction(() => performance.getEntriesByName('kx-shown').length > 0);
  firsts.push(await page.evaluate(() =>
    performance.measure('first', 'kx-given', 'kx-shown').duration / 1000));
}
out.first_result = firsts.sort((a, b) => a - b)[Math.floor(firsts.length / 2)];
out.first_results = firsts;
console.log(JSON.stringify(out));
await browser.close();
server.close();
