// The quality of a reduction (kxquant -Q, libkxquant's kxq_set_quality): how far a reduction is
// from its picture, on a scale of 0 to 100, and the search for the fewest colours that reach a
// target.
//
// The difference is the mean over the pixels of a squared colour difference
// in BT.601's luma and chroma (Y, Cb, Cr of the sRGB-coded samples), the
// chroma at half weight: the eye tells a change of brightness more readily
// than a change of hue of the same size, and banding in gradients, the
// fault a palette shows first, is a change of brightness. Colours are
// compared multiplied by their alpha (as they show over black), and the
// alpha's own difference is added, so the colour of a transparent pixel
// does not count. A grey level off by d everywhere is an error of d².
//
// The quality is the peak signal-to-noise ratio of that error, PSNR =
// 10·log10(255² / error) in dB, through the table below, linear between its
// rows: 100 at 53 dB (no difference anyone sees), 0 at 27 dB. The rows are
// placed so that the ranges scripts give pngquant (65-80, 70-90) give about
// the fidelity pngquant gives photographs for them (bench/workflow); a
// smooth sky shows steps at quality 65 (33 dB) and hardly at 90 (39 dB).
#include <algorithm>
#include <cmath>
#include <iterator>
#include <new>

#include "indexed/indexed.h"

namespace kx {

namespace {

struct Anchor {
  double psnr;
  double quality;
};
constexpr Anchor kScale[] = {{27, 0},  {31, 50}, {33, 65}, {36, 80},
                             {39, 90}, {43, 95}, {49, 99}, {53, 100}};

}  // namespace

double reductionError(const SourcePicture& source, const IndexedPicture& picture) {
  const size_t n = source.pixelCount();
  if (n == 0) return 0;
  // The samples where they are (a picture's own, or rows read in place),
  // summed in pixel order.
  const PixelView view = source.rgbView();
  const uint8_t* rgb = nullptr;
  const size_t width = static_cast<size_t>(source.width);
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i % width == 0) rgb = view.row(static_cast<int>(i / width));
    const int a = !source.alpha.empty()                                  ? source.alpha[i]
                  : !source.transparent.empty() && source.transparent[i] ? 0
                                                                         : 255;
    const int index = picture.indices[i];
    const HistogramEntry& e = picture.palette[index];
    const int b = !picture.alpha.empty()              ? picture.alpha[index]
                  : index == picture.transparentIndex ? 0
                                                      : 255;
    const double dr = (rgb[0] * a - e.red * b) / 255.0;
    const double dg = (rgb[1] * a - e.green * b) / 255.0;
    const double db = (rgb[2] * a - e.blue * b) / 255.0;
    const double y = 0.299 * dr + 0.587 * dg + 0.114 * db;
    const double cb = -0.168736 * dr - 0.331264 * dg + 0.5 * db;
    const double cr = 0.5 * dr - 0.418688 * dg - 0.081312 * db;
    sum += y * y + 0.5 * (cb * cb + cr * cr) + double(a - b) * (a - b);
    rgb += view.channels;
  }
  return sum / static_cast<double>(n);
}

int qualityOfError(double error) {
  if (error <= 0) return 100;
  const double psnr = 10 * std::log10(255.0 * 255.0 / error);
  if (psnr <= kScale[0].psnr) return 0;
  const Anchor* above = std::find_if(std::begin(kScale), std::end(kScale),
                                     [&](const Anchor& a) { return a.psnr > psnr; });
  if (above == std::end(kScale)) return 100;
  const Anchor& below = above[-1];
  const double t = (psnr - below.psnr) / (above->psnr - below.psnr);
  // Down, so that a target is reached only when it is.
  return static_cast<int>(std::floor(below.quality + t * (above->quality - below.quality)));
}

namespace {

// Palettes of at most this many colours are also chosen again for the
// places where the error is largest, texture or not (worst_places.cpp).
constexpr int kWorstInTextureUpTo = 128;

// The opaque picture remapped to a palette chosen again with the places
// where `picture` is worst counted more; with at most kWorstInTextureUpTo
// colours also to one chosen again for the places of the largest error,
// texture or not, and the remapping whose worst place scores lower kept.
// `picture` itself when it is smaller than a block.
Result<IndexedPicture> remapForWorst(const SourcePicture& source, int colours,
                                     const IndexedPicture& picture, const IndexedOptions& options,
                                     const Context& context) {
  try {
    const PixelView view = source.rgbView();
    const BlockErrors errors = blockErrors(view, picture);
    if (errors.empty()) return picture;
    auto again = [&](bool textureHides) -> Result<IndexedPicture> {
      SourcePicture recounted;
      recounted.rgb = worstPlacesRecounted(view, errors.scores(textureHides));
      recounted.width = source.width;
      recounted.height = static_cast<int>(recounted.rgb.size() / 3 / source.width);
      const Result<PictureCount> counted = countPicture(recounted, context);
      if (!counted) return counted.error();
      const Result<ChosenPalette> chosen =
          paletteOfCount(*counted, coloursFor(source, colours), options, context);
      if (!chosen) return chosen.error();
      return remapPicture(source, chosen->colormap, chosen->remapSamples, options, true, false,
                          context);
    };
    Result<IndexedPicture> hidden = again(true);
    if (!hidden || colours > kWorstInTextureUpTo) return hidden;
    Result<IndexedPicture> plain = again(false);
    if (!plain) return plain.error();
    if (blockErrors(view, *plain).worst() < blockErrors(view, *hidden).worst()) return plain;
    return hidden;
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "out of memory for the worst places of the picture");
  }
}

}  // namespace

Result<Reduction> reducePicture(const SourcePicture& source, int colors, int qualityMax,
                                const IndexedOptions& options, bool measure,
                                const Context& context) {
  const Result<PictureCount> counted = countPicture(source, context);
  if (!counted) return counted.error();
  const bool target = qualityMax >= 0;
  auto reduce = [&](int colours) -> Result<Reduction> {
    const Result<ChosenPalette> chosen =
        paletteOfCount(*counted, coloursFor(source, colours), options, context);
    if (!chosen) return chosen.error();
    Result<IndexedPicture> picture =
        remapPicture(source, chosen->colormap, chosen->remapSamples, options, true, false, context);
    if (!picture) return picture.error();
    if (options.fitWorst && source.alpha.empty() && source.transparent.empty()) {
      picture = remapForWorst(source, colours, *picture, options, context);
      if (!picture) return picture.error();
    }
    Reduction r{std::move(*picture), chosen->compression, colours, -1};
    if (target || measure) r.quality = qualityOfError(reductionError(source, r.picture));
    return r;
  };
  Result<Reduction> most = reduce(colors);
  if (!most || !target || most->quality < qualityMax) return most;
  // Bisection for the fewest colours that reach the target. Whatever the
  // qualities along the way, a higher target never ends with fewer colours:
  // up to the first test the two targets answer differently they take the
  // same steps, and there the higher one goes above and the lower below.
  int low = 2, high = colors;  // high reaches the target
  Reduction best = std::move(*most);
  while (low < high) {
    const int middle = low + (high - low) / 2;
    Result<Reduction> tried = reduce(middle);
    if (!tried) return tried.error();
    if (tried->quality >= qualityMax) {
      high = middle;
      best = std::move(*tried);
    } else {
      low = middle + 1;
    }
  }
  return best;
}

}  // namespace kx
