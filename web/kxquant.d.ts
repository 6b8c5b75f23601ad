/** Pixels: RGBA (4 bytes a pixel) or RGB (3), rows top to bottom, no padding. */
export type Pixels = Uint8Array | Uint8ClampedArray;

export interface Options {
  /** Palette size, 2 to 256 (default 256). */
  colors?: number;
  /**
   * "adaptive" (default): error diffusion where it hides banding; "none" or
   * false: every pixel to its nearest colour; a number 0 < f <= 1: error
   * diffusion over every pixel times f.
   */
  dither?: 'adaptive' | 'none' | boolean | number;
  /** The fewest colours reaching quality max (0 to 100); [min, max] or max. */
  quality?: [number, number] | number;
  /** Refine the median cut's palette (default true). */
  refine?: boolean;
  /**
   * Choose the palette again for the places the first one serves worst, as
   * kxquant --fit-worst (opaque pictures; PNG only; default false).
   */
  fitWorst?: boolean;
}

export interface Quantized {
  width: number;
  height: number;
  colors: number;
  /** colors x 4 bytes: red, green, blue, alpha. */
  palette: Uint8Array;
  /** width x height palette indices. */
  indices: Uint8Array;
  /** The quality reached when a quality range was set, else null. */
  quality: number | null;
}

export interface Frame {
  pixels: Pixels;
  width: number;
  height: number;
}

export interface GifOptions extends Options {
  /** Milliseconds each frame is shown: one for all, or one per frame (default 100). */
  delays?: number | number[];
  /** 0 for ever (default), 1 to 65535 times, -1 plays once. */
  loop?: number;
}

/** A refusal, with the library's words as its message. */
export class KxquantError extends Error {
  status: 'INVALID_ARGUMENT' | 'OUT_OF_MEMORY' | 'TOO_LARGE' | 'FAILED' | 'QUALITY_TOO_LOW';
  /** With QUALITY_TOO_LOW: the quality that all the colours reach. */
  quality?: number;
}

export const MAX_PIXELS: number;
export function init(): Promise<unknown>;
export function version(): Promise<string>;
export function quantize(pixels: Pixels, width: number, height: number, options?: Options): Promise<Quantized>;
export function encodePng(pixels: Pixels, width: number, height: number, options?: Options): Promise<Uint8Array>;
export function encodeGif(frames: Frame[], options?: GifOptions): Promise<Uint8Array>;
