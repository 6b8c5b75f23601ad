// The page's worker: reads a picture's size from its first bytes (refusing
// one past the limit before anything is decoded), has the browser decode
// it, and reduces it with the module; or makes an animated GIF of several.
// Messages in: {id, kind: 'picture', file, options} or {id, kind: 'gif',
// files, options}. Out: {id, progress, stage}, then {id, done: true, ...}
// or {id, error}.
import { encodeGif, encodePng, init } from './kxquant.js';
import { pictureSize } from './sizes.js';

// The most pixels the page reduces: a picture's RGBA pixels are held twice
// (decoded, and in the module) while it is reduced.
export const PAGE_MAX_PIXELS = 100_000_000;

function failure(message) {
  const error = new Error(message);
  error.shown = true;
  return error;
}

async function checkedSize(file) {
  const head = new Uint8Array(await file.slice(0, 1 << 20).arrayBuffer());
  const size = pictureSize(head);
  if (!size) throw failure('not a PNG, JPEG, WebP or GIF picture');
  if (size.width * size.height > PAGE_MAX_PIXELS) {
    throw failure(`${size.width} × ${size.height} is ${size.width * size.height} pixels, ` +
      `more than the ${PAGE_MAX_PIXELS} this page reduces`);
  }
  return size;
}

function pixelsOf(image, width, height) {
  const canvas = new OffscreenCanvas(width, height);
  const context = canvas.getContext('2d', { willReadFrequently: true });
  context.drawImage(image, 0, 0);
  return context.getImageData(0, 0, width, height, { colorSpace: 'srgb' }).data;
}

// The frames of a file: an animated GIF or WebP frame by frame where the
// browser can give them, else its one picture. Each frame: pixels, size and
// its delay in ms (null when the file gives none).
async function framesOf(file, all) {
  await checkedSize(file);
  if (all && typeof ImageDecoder === 'function' && /gif|webp/.test(file.type) &&
      (await ImageDecoder.isTypeSupported(file.type))) {
    try {
      const decoder = new ImageDecoder({ data: file.stream(), type: file.type,
        colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
      await decoder.tracks.ready;
      await decoder.completed;
      const count = decoder.tracks.selectedTrack.frameCount;
      const frames = [];
      for (let i = 0; i < count; i++) {
        const { image } = await decoder.decode({ frameIndex: i });
        const width = image.displayWidth, height = image.displayHeight;
        frames.push({ pixels: pixelsOf(image, width, height), width, height,
          delay: image.duration ? Math.round(image.duration / 1000) : null });
        image.close();
      }
      decoder.close();
      return frames;
    } catch {
      throw failure('the browser could not decode this picture');
    }
  }
  let bitmap;
  try {
    bitmap = await createImageBitmap(file, { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
  } catch {
    throw failure('the browser could not decode this picture: the file is damaged or not a picture');
  }
  const frame = { pixels: pixelsOf(bitmap, bitmap.width, bitmap.height), width: bitmap.width,
    height: bitmap.height, delay: null };
  bitmap.close();
  return [frame];
}

async function handle(message) {
  const { id, kind, options } = message;
  const progress = (value, stage) => postMessage({ id, progress: value, stage });
  progress(0.05, 'loading the module');
  await init();
  if (kind === 'picture') {
    progress(0.1, 'decoding');
    const [frame] = await framesOf(message.file, false);
    progress(0.4, 'reducing');
    const png = await encodePng(frame.pixels, frame.width, frame.height, options);
    return { width: frame.width, height: frame.height, bytes: png };
  }
  const frames = [];
  for (const [i, file] of message.files.entries()) {
    progress(0.05 + (0.5 * i) / message.files.length, `decoding ${file.name}`);
    frames.push(...(await framesOf(file, true)));
  }
  progress(0.6, `reducing ${frames.length} frame${frames.length > 1 ? 's' : ''}`);
  const delays = frames.map((f) => (options.frameDelays && f.delay !== null ? f.delay : options.delay));
  const gif = await encodeGif(frames, { ...options, delays });
  return { frames: frames.length, delays, bytes: gif };
}

// The module is compiled while the page waits for pictures.
init();

// One picture at a time, in the order given: two large pictures decoded at
// once would hold both.
let queue = Promise.resolve();
onmessage = ({ data }) => {
  queue = queue.then(async () => {
    try {
      const result = await handle(data);
      postMessage({ id: data.id, done: true, ...result }, [result.bytes.buffer]);
    } catch (error) {
      postMessage({ id: data.id, error: error.shown || error.name === 'KxquantError' ?
        error.message : `failed: ${error.message || error}` });
    }
  });
};
