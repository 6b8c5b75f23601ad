// kxquant in JavaScript: the library's colour reduction, palette PNG and
// animated GIF writers compiled to WebAssembly, for the browser (page or
// worker) and Node. Every call gives the bytes the kxquant command writes
// for the same pixels and options.
import createCore from './kxquant-core.js';

const STATUS = ['OK', 'INVALID_ARGUMENT', 'OUT_OF_MEMORY', 'TOO_LARGE', 'FAILED', 'QUALITY_TOO_LOW'];

/** The most pixels (width x height) a picture may have. */
export const MAX_PIXELS = 2 ** 30;

/** A refusal of the library: its words, and its status as a name. */
export class KxquantError extends Error {
  constructor(status, message) {
    super(message || STATUS[status] || 'failed');
    this.name = 'KxquantError';
    this.status = STATUS[status] || 'FAILED';
  }
}

let corePromise = null;

async function wasmBytes() {
  const url = new URL('./kxquant-core.wasm', import.meta.url);
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`${url}: ${response.status} ${response.statusText}`);
  return new Uint8Array(await response.arrayBuffer());
}

/** Loads the module once; every other call waits for it. */
export function init() {
  corePromise ??= wasmBytes().then((wasmBinary) => createCore({ wasmBinary }));
  return corePromise;
}

/** "1.1 (kxreduce 2.6)": the library's version and its engine's. */
export async function version() {
  const core = await init();
  return core.UTF8ToString(core._kxq_version());
}

// Runs body(core, call) with C memory that is freed afterwards: call.alloc
// (bytes) copies or reserves, call.options is a handle with the options set.
async function withCore(body) {
  const core = await init();
  const blocks = [];
  const alloc = (sizeOrBytes) => {
    const size = typeof sizeOrBytes === 'number' ? sizeOrBytes : sizeOrBytes.length;
    const ptr = core._malloc(Math.max(size, 1));
    if (!ptr) throw new KxquantError(2, 'out of memory');
    blocks.push(ptr);
    if (typeof sizeOrBytes !== 'number') core.HEAPU8.set(sizeOrBytes, ptr);
    return ptr;
  };
  try {
    return body(core, alloc);
  } finally {
    for (const ptr of blocks) core._free(ptr);
  }
}

function u32(core, ptr) {
  return new Uint32Array(core.HEAPU8.buffer, ptr, 1)[0];
}

// The layout of `pixels` for a picture of width x height: RGBA or RGB by
// its length.
function formatOf(pixels, width, height) {
  if (!(pixels instanceof Uint8Array || pixels instanceof Uint8ClampedArray)) {
    throw new TypeError('pixels must be a Uint8Array or Uint8ClampedArray');
  }
  if (!Number.isInteger(width) || !Number.isInteger(height) || width < 1 || height < 1) {
    throw new KxquantError(1, `the picture's size ${width} x ${height} is not a size`);
  }
  if (width * height > MAX_PIXELS) {
    throw new KxquantError(3, `the picture has ${width * height} pixels, more than the ${MAX_PIXELS} allowed`);
  }
  const n = width * height;
  if (pixels.length === n * 4) return 4;
  if (pixels.length === n * 3) return 3;
  throw new KxquantError(1, `${pixels.length} bytes of pixels are neither RGBA nor RGB of ${width} x ${height}`);
}

// A kxq_options handle with `options` set; the caller destroys it.
function makeOptions(core, { colors = 256, dither = 'adaptive', refine = true, quality, fitWorst = false } = {}) {
  const o = core._kxq_options_create();
  if (!o) throw new KxquantError(2, 'out of memory');
  const check = (status) => {
    if (status !== 0) {
      const error = new KxquantError(status, core.UTF8ToString(core._kxq_options_message(o)));
      core._kxq_options_destroy(o);
      throw error;
    }
  };
  check(core._kxq_set_threads(o, 1));
  check(core._kxq_set_colors(o, Number.isInteger(colors) ? colors : -1));
  if (dither === 'none' || dither === false) check(core._kxq_set_dither(o, 0, 0.7));
  else if (typeof dither === 'number') check(core._kxq_set_dither(o, 1, dither));
  else if (dither === 'adaptive' || dither === true) check(core._kxq_set_dither(o, 2, 0.7));
  else check(core._kxq_set_dither(o, -1, 0));
  check(core._kxq_set_refine(o, refine ? 1 : 0));
  check(core._kxq_set_fit_worst(o, fitWorst ? 1 : 0));
  if (quality !== undefined && quality !== null) {
    const [min, max] = Array.isArray(quality) ? quality : [0, quality];
    check(core._kxq_set_quality(o, Number.isInteger(min) ? min : -1, Number.isInteger(max) ? max : -1));
  }
  return o;
}

// kxq_quantize on `pixels`; returns the result handle (the caller destroys
// it) or throws with the library's words.
function quantizeHandle(core, alloc, o, pixels, width, height) {
  const format = formatOf(pixels, width, height);
  const out = alloc(4);
  const status = core._kxq_quantize(o, alloc(pixels), width, height, width * format, format, out);
  if (status !== 0) {
    const error = new KxquantError(status, core.UTF8ToString(core._kxq_options_message(o)));
    if (status === 5) {
      const r = u32(core, out);
      error.quality = core._kxq_result_quality(r);
      core._kxq_result_destroy(r);
    }
    throw error;
  }
  return u32(core, out);
}

/**
 * The palette and indices kxquant chooses for a picture: pixels RGBA or RGB
 * (by their length), options {colors, dither, quality, refine, fitWorst}.
 */
export async function quantize(pixels, width, height, options = {}) {
  return withCore((core, alloc) => {
    const o = makeOptions(core, options);
    let r = 0;
    try {
      r = quantizeHandle(core, alloc, o, pixels, width, height);
      const colors = core._kxq_result_colors(r);
      const quality = core._kxq_result_quality(r);
      return {
        width,
        height,
        colors,
        palette: core.HEAPU8.slice(core._kxq_result_palette(r), core._kxq_result_palette(r) + colors * 4),
        indices: core.HEAPU8.slice(core._kxq_result_indices(r), core._kxq_result_indices(r) + width * height),
        quality: quality < 0 ? null : quality,
      };
    } finally {
      core._kxq_result_destroy(r);
      core._kxq_options_destroy(o);
    }
  });
}

// The bytes at *bytes, *size, freed with kxq_free.
function takeBytes(core, bytesPtr, sizePtr) {
  const ptr = u32(core, bytesPtr);
  const bytes = core.HEAPU8.slice(ptr, ptr + u32(core, sizePtr));
  core._kxq_free(ptr);
  return bytes;
}

/** The palette PNG kxquant -o x.png writes for the picture. */
export async function encodePng(pixels, width, height, options = {}) {
  return withCore((core, alloc) => {
    const o = makeOptions(core, options);
    let r = 0;
    try {
      r = quantizeHandle(core, alloc, o, pixels, width, height);
      const bytes = alloc(4);
      const size = alloc(4);
      const status = core._kxq_write_png(o, r, 0, 0, 0, 0, 0, bytes, size);
      if (status !== 0) throw new KxquantError(status, core.UTF8ToString(core._kxq_options_message(o)));
      return takeBytes(core, bytes, size);
    } finally {
      core._kxq_result_destroy(r);
      core._kxq_options_destroy(o);
    }
  });
}

/**
 * The animated GIF kxquant -o x.gif writes: frames [{pixels, width,
 * height}], options {delays (ms: one for every frame, or a list), loop (0
 * for ever, -1 once), colors, dither, refine}.
 */
export async function encodeGif(frames, options = {}) {
  const { delays = 100, loop = 0 } = options;
  return withCore((core, alloc) => {
    const o = makeOptions(core, options);
    const out = alloc(4);
    let g = 0;
    const check = (status) => {
      if (status !== 0) throw new KxquantError(status, core.UTF8ToString(core._kxq_gif_message(g)));
    };
    try {
      const status = core._kxq_gif_create(o, out);
      if (status !== 0) throw new KxquantError(status, core.UTF8ToString(core._kxq_options_message(o)));
      g = u32(core, out);
      check(core._kxq_gif_set_loop(g, Number.isInteger(loop) ? loop : -2));
      frames.forEach(({ pixels, width, height }, i) => {
        const format = formatOf(pixels, width, height);
        const delay = Array.isArray(delays) ? delays[i] : delays;
        const ptr = core._malloc(pixels.length);
        if (!ptr) throw new KxquantError(2, 'out of memory');
        core.HEAPU8.set(pixels, ptr);
        try {
          check(core._kxq_gif_add_frame(g, ptr, width, height, width * format, format,
            Number.isInteger(delay) ? delay : -1));
        } finally {
          core._free(ptr);
        }
      });
      const size = alloc(4);
      check(core._kxq_gif_write(g, out, size));
      return takeBytes(core, out, size);
    } finally {
      core._kxq_gif_destroy(g);
      core._kxq_options_destroy(o);
    }
  });
}
