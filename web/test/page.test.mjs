// The page in Debian's Chromium, headless: pictures given through the file
// input and by a drop, downloads compared with the kxquant command's files,
// refusals on their rows, and animated GIFs (of several pictures, and of
// an animated input) decoded by the browser.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

const root = new URL('../../', import.meta.url).pathname;
const puppeteer = createRequire(join(root, 'build/web/npm/'))('puppeteer-core');
const work = mkdtempSync(join(tmpdir(), 'kxquant-page-'));
const screen = join(root, 'samples/screen.png');
let server, browser, page, cdp;

function native(out, ...args) {
  execFileSync(join(root, 'build/kxquant'), ['-q', '-f', '-o', join(work, out), ...args]);
  return readFileSync(join(work, out));
}

before(async () => {
  server = spawn(join(root, 'scripts/serve'), ['0'], { env: { ...process.env, KX_SERVE_NOBUILD: '1' } });
  const url = await new Promise((resolve, reject) => {
    server.stdout.on('data', (d) => /http:\S+/.test(d) && resolve(/http:\S+/.exec(d)[0]));
    server.on('exit', () => reject(new Error('scripts/serve stopped')));
  });
  browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu'] });
  page = await browser.newPage();
  await page.evaluateOnNewDocument(() => {
    window.kxRows = [];
    document.addEventListener('kx-row', (e) => window.kxRows.push(e.detail));
  });
  cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: work, eventsEnabled: true });
  await page.goto(url);
});

after(async () => {
  await browser?.close();
  server?.kill();
});

// Waits for the rows ended so far to be `count`; returns the last `count - from`.
async function rowsEnded(count, from) {
  await page.waitForFunction((n) => window.kxRows.length >= n, { timeout: 60000 }, count);
  return page.evaluate((a, b) => window.kxRows.slice(a, b), from, count);
}

// Clicks the download link of row `index` and returns the bytes saved.
async function download(index) {
  const done = new Promise((resolve) => {
    const on = (e) => {
      if (e.state !== 'completed') return;
      cdp.off('Browser.downloadProgress', on);
      resolve(e.guid);
    };
    cdp.on('Browser.downloadProgress', on);
  });
  await page.$$eval('.row .download', (links, i) => links[i].click(), index);
  return readFileSync(join(work, await done));
}

test('pictures given through the input: results as the command writes, refusals on their rows', async () => {
  const png = readFileSync(screen);
  const files = {
    'corrupt.png': Buffer.concat([png.subarray(0, 200), Buffer.alloc(300, 7)]),
    'notes.txt': Buffer.from('not a picture\n'),
    'huge.png': Buffer.concat([png.subarray(0, 16), Buffer.from([0, 0, 0x4e, 0x20, 0, 0, 0x4e, 0x20]), png.subarray(24)]),
  };
  for (const [name, bytes] of Object.entries(files)) writeFileSync(join(work, name), bytes);
  const input = await page.$('#files');
  await input.uploadFile(join(work, 'corrupt.png'), join(work, 'notes.txt'), join(work, 'huge.png'), screen);
  const rows = await rowsEnded(4, 0);
  const byName = Object.fromEntries(rows.map((r) => [r.name, r]));
  assert.match(byName['corrupt.png'].message, /could not decode/);
  assert.match(byName['notes.txt'].message, /not a PNG, JPEG, WebP or GIF/);
  assert.match(byName['huge.png'].message, /20000 × 20000 is 400000000 pixels, more than/);
  assert.equal(byName['screen.png'].state, 'done');
  assert.ok((await download(3)).equals(native('screen.png', screen)));
});

test('a dropped picture, recomputed with other colours and the worst places fitted, and an animated GIF', async () => {
  const small = native('small.png', '-n', '16', '--no-dither', screen);
  await page.evaluate((base64) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const data = new DataTransfer();
    data.items.add(new File([bytes], 'small.png', { type: 'image/png' }));
    document.querySelector('#drop').dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true }));
  }, small.toString('base64'));
  assert.equal((await rowsEnded(5, 4))[0].state, 'done');

  await page.$eval('#fit-worst', (el) => (el.checked = true));
  await page.$eval('#colors', (el) => {
    el.value = '32';
    el.dispatchEvent(new Event('change'));
  });
  const again = await rowsEnded(10, 5);
  assert.equal(again.filter((r) => r.state === 'done').length, 2);
  const small32 = native('small32.png', '-n', '32', '--fit-worst', join(work, 'small.png'));
  assert.ok((await download(4)).equals(small32));

  await page.$eval('#delay', (el) => (el.value = '70'));
  await page.click('#make-gif');
  assert.equal((await rowsEnded(11, 10))[0].state, 'done');
  const gif = await download(5);
  assert.ok(gif.equals(native('both.gif', '-n', '32', '--delay', '70', screen, join(work, 'small.png'))));
  assert.deepEqual(await gifDelays(gif), [70, 70]);
});

test('an animated input keeps its frames and its own delay in the animated GIF', async () => {
  const anim = join(work, 'anim.gif');
  const frame = (x) => ['(', screen, '-crop', `96x64+${x}+0`, '+repage', ')'];
  execFileSync('convert', ['-delay', '30', ...frame(0), ...frame(40), ...frame(80), '-loop', '0', anim]);
  await page.reload();
  await (await page.$('#files')).uploadFile(anim);
  assert.equal((await rowsEnded(1, 0))[0].state, 'done');
  await page.click('#make-gif');
  assert.equal((await rowsEnded(2, 1))[0].state, 'done');
  const gif = await download(1);
  assert.ok(gif.equals(native('anim-out.gif', anim)));
  assert.deepEqual(await gifDelays(gif), [300, 300, 300]);
});

// The delay of each frame of a GIF, in ms, as the browser decodes it.
function gifDelays(gif) {
  return page.evaluate(async (base64) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const decoder = new ImageDecoder({ data: bytes, type: 'image/gif' });
    await decoder.tracks.ready;
    await decoder.completed;
    const durations = [];
    for (let i = 0; i < decoder.tracks.selectedTrack.frameCount; i++) {
      durations.push((await decoder.decode({ frameIndex: i })).image.duration / 1000);
    }
    return durations;
  }, gif.toString('base64'));
}
