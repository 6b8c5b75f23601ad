/* libkxquant: kxquant's colour reduction in process. Pixels in (RGB or RGBA,
 * 8 bits a sample, rows with any stride), a palette of at most 256 RGBA
 * entries and one palette index per pixel out: the same palette and indices
 * as the kxquant command writes to a PNG for the same pixels and options.
 *
 *   kxq_options *o = kxq_options_create();
 *   kxq_set_colors(o, 64);
 *   kxq_result *r;
 *   if (kxq_quantize(o, pixels, width, height, stride, KXQ_RGBA, &r) != KXQ_OK)
 *     fprintf(stderr, "%s\n", kxq_options_message(o));
 *   ... kxq_result_palette(r), kxq_result_colors(r), kxq_result_indices(r) ...
 *   kxq_result_destroy(r);
 *   kxq_options_destroy(o);
 *
 * Handles are opaque. The library keeps no state of its own between calls
 * and nothing global: calls on different handles may run on any threads at
 * once; calls on one handle must not overlap (a result handle may be read,
 * and used as the palette of kxq_remap, from several threads at once). The
 * library prints nothing; a call that fails returns a status and leaves the
 * words for it in the handle it was given, until that handle's next call.
 *
 * Usable from C99 and C++. Link with $(pkg-config --libs kxquant).
 */
#ifndef KXQUANT_H
#define KXQUANT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KXQ_VERSION_MAJOR 1
#define KXQ_VERSION_MINOR 2

/* What a call did. */
typedef enum kxq_status {
  KXQ_OK = 0,
  KXQ_INVALID_ARGUMENT = 1, /* a null handle or buffer, a value out of range */
  KXQ_OUT_OF_MEMORY = 2,
  KXQ_TOO_LARGE = 3,      /* a picture of more than KXQ_MAX_PIXELS pixels */
  KXQ_FAILED = 4,         /* the reduction could not be made; the message says why */
  KXQ_QUALITY_TOO_LOW = 5 /* below the quality range's minimum; the result is still given */
} kxq_status;

/* The layout of the pixels given: 3 or 4 bytes a pixel, red first. */
typedef enum kxq_format { KXQ_RGB = 3, KXQ_RGBA = 4 } kxq_format;

/* How pixels are mapped to the palette once it is chosen. */
typedef enum kxq_dither {
  KXQ_DITHER_NONE = 0,      /* every pixel to its nearest entry (kxquant --no-dither) */
  KXQ_DITHER_DIFFUSION = 1, /* error diffusion over every pixel, times a factor (kxquant -a F) */
  KXQ_DITHER_ADAPTIVE = 2   /* error diffusion where it hides banding: in smooth areas, not on
                               edges nor in flat areas whose colour the palette holds (kxquant's
                               default) */
} kxq_dither;

/* The most pixels (width x height) a picture may have. */
#define KXQ_MAX_PIXELS (1L << 30)

typedef struct kxq_options kxq_options;
typedef struct kxq_result kxq_result;
typedef struct kxq_shared kxq_shared;
typedef struct kxq_gif kxq_gif;

/* "1.1 (kxreduce 2.6)": the library's version and the engine's. */
const char* kxq_version(void);

/* ---- Options ----------------------------------------------------------------
 * A new handle has kxquant's defaults: 256 colours, KXQ_DITHER_ADAPTIVE,
 * refinement on, one thread per processor. NULL when out of memory. */
kxq_options* kxq_options_create(void);
void kxq_options_destroy(kxq_options* options); /* NULL is ignored */

/* The palette's size, 2 to 256 (kxquant -n). */
kxq_status kxq_set_colors(kxq_options* options, int colors);
/* The dithering; factor is the strength of KXQ_DITHER_DIFFUSION, 0 < factor
 * <= 1 (kxquant's default 0.7), and is not used otherwise. */
kxq_status kxq_set_dither(kxq_options* options, kxq_dither dither, float factor);
/* Non-zero: the median cut's palette is refined (the default); zero: kept
 * as it is cut (kxquant --no-refine). */
kxq_status kxq_set_refine(kxq_options* options, int refine);
/* Threads a call may use, 1 to 1024; 0 (the default): one per processor
 * the process may run on. Results are the same for any count. */
kxq_status kxq_set_threads(kxq_options* options, int threads);
/* Non-zero: a picture's palette is chosen again for the places the first
 * one serves worst (kxquant --fit-worst; opaque pictures, kxq_quantize):
 * a better look on photographs for a second count and remapping. Zero (the
 * default): the palette kxreduce --refine chooses. */
kxq_status kxq_set_fit_worst(kxq_options* options, int fit_worst);

/* A quality range as kxquant -Q MIN-MAX takes it, 0 <= min <= max <= 100:
 * the fewest colours (at most kxq_set_colors's) whose result reaches
 * quality max, on kxquant's scale of 0 to 100; with none reaching it, all
 * the colours, and when that is below min kxq_quantize returns
 * KXQ_QUALITY_TOO_LOW. Not set (the default): the colours asked for.
 * A GIF made with these options (kxq_gif_create) takes max as its quality,
 * as kxquant -Q does for a .gif: below 100 its pixels may differ a little
 * from their colours for fewer bytes. */
kxq_status kxq_set_quality(kxq_options* options, int min, int max);

/* The words for the last call given this handle that failed, one line
 * without a line end; "" when it succeeded. Valid until the handle's next
 * call. */
const char* kxq_options_message(const kxq_options* options);

/* ---- One picture --------------------------------------------------------------
 * Pixels: height rows of width pixels, each row `stride` bytes after the one
 * before (at least width x 3 or x 4). With KXQ_RGBA, pixels with alpha below
 * 128 in a picture whose alpha is only 0 or 255 share one fully transparent
 * entry; a picture with other alpha values gets a palette with alpha. The
 * pixels are read, never written, and not kept after the call. */

/* A palette for the picture and its indices; *result is set on success
 * only, and with KXQ_QUALITY_TOO_LOW (the result of all the colours, its
 * quality in kxq_result_quality: kxquant reports it and writes nothing).
 * The palette is that of kxquant's PNG: entries after the last used are
 * dropped, the entries that are not opaque come first. */
kxq_status kxq_quantize(kxq_options* options, const void* pixels, int width, int height,
                        size_t stride, kxq_format format, kxq_result** result);

/* The picture mapped to the palette of `palette` (a result of
 * kxq_quantize, kxq_shared_palette or kxq_palette_create): a new result of
 * that palette, whole, and the picture's indices. */
kxq_status kxq_remap(kxq_options* options, const kxq_result* palette, const void* pixels, int width,
                     int height, size_t stride, kxq_format format, kxq_result** result);

/* A palette of one's own, `colors` (1 to 256) RGBA entries, as a result
 * without pixels to use with kxq_remap. A fully transparent entry (alpha 0)
 * when every other entry is opaque is the transparent entry: pixels with
 * alpha below 128 take it, the rest are mapped as opaque colours. */
kxq_status kxq_palette_create(kxq_options* options, const unsigned char* rgba, int colors,
                              kxq_result** result);

/* ---- One palette for several pictures (kxquant -u) -------------------------------
 * Each picture added gets a palette of its own; kxq_shared_palette chooses
 * one palette from those, as kxquant -u does, and every picture is then
 * mapped to it with kxq_remap. The pictures are not kept. */
kxq_status kxq_shared_create(const kxq_options* options, kxq_shared** shared);
void kxq_shared_destroy(kxq_shared* shared); /* NULL is ignored */
kxq_status kxq_shared_add(kxq_shared* shared, const void* pixels, int width, int height,
                          size_t stride, kxq_format format);
/* A result without pixels; fails when no picture was added. */
kxq_status kxq_shared_palette(kxq_shared* shared, kxq_result** palette);
/* As kxq_options_message, for the calls given this handle. */
const char* kxq_shared_message(const kxq_shared* shared);

/* ---- Animated GIF (kxquant -o x.gif) ---------------------------------------------
 * Frames are added one at a time and kept (in memory, a row equal to the
 * same row of the frame before once) until kxq_gif_write makes the GIF: the
 * bytes kxquant -o x.gif writes for the same frames (files in the order
 * added), options, delays and loop. One palette counted from every frame;
 * each frame after the first stored as what changed; frames smaller than
 * the largest are centred on it. With KXQ_RGBA, pixels of alpha 0 are
 * transparent and of alpha 255 opaque; a partly transparent pixel is one or
 * the other by an ordered dither of its alpha, as the command's default is
 * (a GIF keeps no other alpha).
 *
 *   kxq_gif *g;
 *   kxq_gif_create(o, &g);
 *   for (...) kxq_gif_add_frame(g, pixels, width, height, stride, KXQ_RGB, 40);
 *   unsigned char *bytes; size_t size;
 *   if (kxq_gif_write(g, &bytes, &size) == KXQ_OK) { ... kxq_free(bytes); }
 *   else fprintf(stderr, "%s\n", kxq_gif_message(g));
 *   kxq_gif_destroy(g);
 */
/* A GIF of the options as they are now (later changes to them do not
 * count): its colours, dithering, refinement and threads. */
kxq_status kxq_gif_create(const kxq_options* options, kxq_gif** gif);
void kxq_gif_destroy(kxq_gif* gif); /* NULL is ignored */
/* How often the animation repeats (kxquant --loop N): 0 for ever (the
 * default), 1 to 65535 times; -1 plays it once (kxquant --no-loop). */
kxq_status kxq_gif_set_loop(kxq_gif* gif, int loop);
/* The next frame (pixels as for kxq_quantize, at most 65535 x 65535),
 * shown for delay_ms, 0 to 655350 milliseconds. A GIF counts hundredths of
 * a second: frame k starts at the sum of the delays before it rounded to
 * hundredths (halves up), so the total stays exact (kxquant --delay 33
 * gives frames of 3 and 4 hundredths). */
kxq_status kxq_gif_add_frame(kxq_gif* gif, const void* pixels, int width, int height, size_t stride,
                             kxq_format format, int delay_ms);
/* The GIF of every frame added, once: *bytes (free it with kxq_free) and
 * *size, set on success only. Fails when no frame was added. */
kxq_status kxq_gif_write(kxq_gif* gif, unsigned char** bytes, size_t* size);
/* As kxq_options_message, for the calls given this handle. */
const char* kxq_gif_message(const kxq_gif* gif);

/* ---- Palette PNG (kxquant -o x.png) ------------------------------------------------
 * The PNG kxquant writes for the picture of `result` (of kxq_quantize or
 * kxq_remap), in memory: *bytes (free it with kxq_free) and *size, set on
 * success only. kxquant keeps its input's ICC profile and physical size;
 * give them here: icc_size bytes of profile (none when 0) under icc_name
 * (NULL: "ICC profile", kxquant's name for a profile from a file that names
 * none, such as a JPEG; a PNG input's own name otherwise), and dpi_x, dpi_y
 * in pixels per inch (both 0: none), kept as whole pixels per metre. The
 * words of a refusal are left in `options`. */
kxq_status kxq_write_png(kxq_options* options, const kxq_result* result, const unsigned char* icc,
                         size_t icc_size, const char* icc_name, double dpi_x, double dpi_y,
                         unsigned char** bytes, size_t* size);

/* Frees bytes the library gave (kxq_gif_write's, kxq_write_png's). NULL is
 * ignored. */
void kxq_free(void* bytes);

/* ---- Results ------------------------------------------------------------------ */

/* Palette entries, 1 to 256. */
int kxq_result_colors(const kxq_result* result);
/* colors x 4 bytes: red, green, blue, alpha of each entry (straight, not
 * premultiplied). */
const unsigned char* kxq_result_palette(const kxq_result* result);
/* width x height indices, rows top to bottom without padding; NULL for a
 * palette without pixels. */
const unsigned char* kxq_result_indices(const kxq_result* result);
int kxq_result_width(const kxq_result* result);
int kxq_result_height(const kxq_result* result);
/* The quality reached, 0 to 100, when a quality range was set; else -1. */
int kxq_result_quality(const kxq_result* result);
void kxq_result_destroy(kxq_result* result); /* NULL is ignored */

#ifdef __cplusplus
}
#endif

#endif /* KXQUANT_H */
