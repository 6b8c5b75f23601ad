// Whole PICT images: the first raster of a PICT file read into byte planes,
// byte planes written as a PICT file, and the frame driver's entry points
// that connect them to picture records.
//
// A file we write is the prologue (opcodes.cpp), the black background of
// PictWriteClearBack, one PackBitsRect (colour indices or grey) or one
// DirectBitsRect (true colour) raster (raster_write.cpp) and the end opcode,
// as the data file of an AppleDouble pair whose header file "%name" gives it
// the type 'PICT' and the creator 'KEST'.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "common/messages.h"
#include "pict/pict.h"
#include "pict/pict_pvt.h"

namespace kx {

thread_local std::string pict_errstr;

namespace {

constexpr uint32_t kCreatorKest = 0x4B455354;  // 'KEST'

// Tells a failure: to the call's own *failure (when given), for its
// message; pict_errstr keeps only the first one.
void failWith(std::string* failure, const std::string& text) {
  if (failure) *failure = text;
  if (pict_errstr.empty()) pict_errstr = text;
}

// The Macintosh error code of a failure, never 0.
int macFailure(std::string* failure) {
  failWith(failure, MacGetError());
  const int code = MacError();
  return code != 0 ? code : -1;
}

// Closes the picture after a failure whose text has been taken already.
void closeQuietly(std::unique_ptr<PictFile>& pict) {
  if (!pict) return;
  pict->raster.reset();
  PictCloseFile(pict);
}

// The failure as an Error: the Macintosh error state's message when the
// failure set it, otherwise the call's own text. Taking it clears the
// pending code, as printing the state would.
Error failure(const std::string& failed) {
  std::string text = MacError() != 0 || failed.empty() ? MacGetError() : failed;
  MacClearError();
  return Error(ErrorCode::badFile, std::move(text));
}

std::unique_ptr<uint8_t[]> allocatePlane(size_t n) {
  try {
    return std::make_unique_for_overwrite<uint8_t[]>(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// True when the open raster's first row cannot be in the file: the file
// ends before it. Such a picture would fail at that row, after its planes
// had been allocated and filled; it is refused before.
bool endsBeforeFirstRow(PictFile& pict) {
  const PictRaster& r = *pict.raster;
  if (r.rows <= 0 || r.yStart >= pict.height || r.yEnd <= 0) return false;  // no row is read
  int64_t need = r.byteCount;
  if (r.flags & kPictPacked) need = r.rowBytes > 250 ? 2 : 1;  // the row's byte count
  const int64_t left = MacBytesLeft(*pict.file);
  return left >= 0 && left < need;
}

}  // namespace

namespace {

// Bits per sample of a raster as readPictImage delivers it: 8 for colour
// tables, else the pixel size (5 for 16-bit pixels); 8 for anything else.
int sampleBits(const PictRaster& r) {
  if (r.flags & kPictColorTable) return 8;
  if (r.pixelSize == 1 || r.pixelSize == 2 || r.pixelSize == 4 || r.pixelSize == 8) {
    return r.pixelSize;
  }
  return r.pixelSize == 16 ? 5 : 8;
}

// One read of the first raster. Every failure goes through fail(), which
// closes what is open and frees the planes: the one way out but success.
class PictReader {
 public:
  PictReader(const std::string& fileName, PictPlanes& planes, ReadRefusal* why,
             std::string* failure)
      : fileName_(fileName), planes_(planes), why_(why), failure_(failure) {}

  int read(int16_t* width, int16_t* height, int* colorCount, Colormap* colorTable) {
    pict_ = PictOpenFileRead(fileName_);
    if (!pict_) return macFailure(failure_);
    *width = pict_->width;
    *height = pict_->height;
    // The frame alone decides the planes' size: it is checked before the
    // raster is looked for.
    if (kx_overPixelLimit(pict_->width, pict_->height)) {
      const ReadRefusal refusal{ReadRefusal::Cause::tooLarge, pict_->width, pict_->height};
      if (why_) *why_ = refusal;
      return fail(kx_readRefusalText(fileName_, refusal));
    }
    const int opened = PictOpenRasterRead(*pict_);
    if (opened < 0) return fail(macFailure(failure_));
    if (opened == 0) return fail("No raster information found");
    const PictRaster& r = *pict_->raster;
    const bool colour = (r.flags & kPictColour) != 0;
    int components = 3;
    if (!colour) {
      components = 1;
    } else if ((r.flags & kPictAlphaPlane) || (r.flags & kPictColorTable)) {
      components = 4;
    }
    if (colorCount && *colorCount >= 0 && (r.flags & kPictColorTable)) {
      if (!copyColours(colorTable)) return fail("Colortable memory allocation failure.");
      *colorCount = static_cast<int>(r.colours.size());
      components = 4;
    }
    if (endsBeforeFirstRow(*pict_)) {
      MacSetError(kMacReadError, fileName_);
      return fail(macFailure(failure_));
    }
    if (!allocatePlanes(components)) {
      if (why_) *why_ = ReadRefusal{ReadRefusal::Cause::outOfMemory, pict_->width, pict_->height};
      return fail("Image memory allocation failure.");
    }
    if (!readRows()) return fail(-1);
    const int n = pict_->width * pict_->height;
    // A grey picture read with its colour table shows its grey in all three.
    if (!colour && planes_[1] && planes_[2]) {
      std::memcpy(planes_[1].get(), planes_[0].get(), n);
      std::memcpy(planes_[2].get(), planes_[0].get(), n);
    }
    if (const int bits = sampleBits(r); bits != 8) {
      kx_printf(Stream::Err, "Warning: %s has %d bits per channel. Not fully supported.",
                fileName_.c_str(), bits);
    }
    if (PictCloseRaster(*pict_) != 0) return fail(macFailure(failure_));
    PictCloseFile(pict_);
    return 0;
  }

 private:
  // Closes what is open and frees the planes; returns the result.
  int fail(int result) {
    for (auto& p : planes_) p.reset();
    closeQuietly(pict_);
    return result;
  }
  int fail(const std::string& text) {
    failWith(failure_, text);
    return fail(-1);
  }

  bool copyColours(Colormap* colorTable) {
    const PictRaster& r = *pict_->raster;
    try {
      colorTable->assign(r.colours.size(), HistogramEntry{});
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (size_t i = 0; i < r.colours.size(); ++i) {
      (*colorTable)[i].red = static_cast<uint8_t>(r.colours[i].red);
      (*colorTable)[i].green = static_cast<uint8_t>(r.colours[i].green);
      (*colorTable)[i].blue = static_cast<uint8_t>(r.colours[i].blue);
    }
    return true;
  }

  // The planes the components fill, each showing the raster's background
  // where the raster does not reach.
  bool allocatePlanes(int components) {
    const size_t n = static_cast<size_t>(pict_->width) * static_cast<size_t>(pict_->height);
    for (int p = components == 1 ? 0 : components - 1; p >= 0; --p) {
      planes_[p] = allocatePlane(n);
      if (!planes_[p]) return false;
    }
    const PictRaster& r = *pict_->raster;
    const int background = PictBackgroundValue(r);
    for (int p = 0; p < 4; ++p) {
      if (planes_[p])
        std::memset(planes_[p].get(), p < PictBackgroundPlanes(r) ? background : 0, n);
    }
    return true;
  }

  // Every row, the PICT's top row into the planes' last.
  bool readRows() {
    const int w = pict_->width, h = pict_->height;
    for (int i = 0; i < h; ++i) {
      std::array<uint8_t*, 4> rows{};
      const size_t offset = static_cast<size_t>(h - 1 - i) * static_cast<size_t>(w);
      for (int p = 0; p < 4; ++p) rows[p] = planes_[p] ? planes_[p].get() + offset : nullptr;
      int first, last;
      if (PictReadPixelScan(*pict_, rows, &first, &last) != 0 || MacError() != 0) {
        failWith(failure_, MacGetError());
        return false;
      }
    }
    return true;
  }

  const std::string& fileName_;
  PictPlanes& planes_;
  ReadRefusal* why_;
  std::string* failure_;
  std::unique_ptr<PictFile> pict_;
};

}  // namespace

int readPictImage(const std::string& fileName, int16_t* width, int16_t* height, int* colorCount,
                  Colormap* colorTable, PictPlanes& planes, ReadRefusal* why,
                  std::string* failure) {
  for (auto& p : planes) p.reset();
  if (why) *why = ReadRefusal{};
  if (failure) failure->clear();
  // A stale error would make the first row look failed.
  MacClearError();
  return PictReader(fileName, planes, why, failure).read(width, height, colorCount, colorTable);
}

int writePictImage(const std::string& fileName, int width, int height, int colorCount,
                   const Colormap* colormap, const std::array<const uint8_t*, 4>& planes,
                   std::string* failure) {
  if (failure) failure->clear();
  MacClearError();
  int components = 1;
  if (!colormap) {
    if (planes[3]) {
      components = 4;
    } else if (planes[2]) {
      components = 3;
    }
    if (components > 1 && !planes[1]) {
      pict_errstr = "Green parameter is NULL.";
      if (failure) *failure = pict_errstr;
      return -1;
    }
  }
  if (!planes[0]) {
    pict_errstr = "Red parameter is NULL.";
    if (failure) *failure = pict_errstr;
    return -1;
  }
  std::vector<PictColorEntry> table;
  if (colormap) {
    // Never more entries than the palette has, nor than 8-bit pixels use.
    size_t count = std::min<size_t>(std::max(colorCount, 0), colormap->size());
    count = std::min<size_t>(count, 256);
    try {
      for (size_t i = 0; i < count; ++i) {
        const HistogramEntry& c = (*colormap)[i];
        table.push_back({static_cast<uint16_t>(i), static_cast<uint16_t>(c.red * 257),
                         static_cast<uint16_t>(c.green * 257),
                         static_cast<uint16_t>(c.blue * 257)});
      }
      // A one-colour palette would be taken for no palette (and written as
      // the grey ramp): give it a second, unused entry.
      if (table.size() == 1) table.push_back({1, 0, 0, 0});
    } catch (const std::bad_alloc&) {
      failWith(failure, "Colortable memory allocation failure.");
      return -1;
    }
  }
  const int entries = static_cast<int>(table.size());

  // Everything after the creation of the file either completes the picture
  // or drops it: its new files go, and whatever stood under their names
  // before stays as it was.
  auto fail = [&](std::unique_ptr<PictFile>& pict, int result) {
    if (pict) pict->raster.reset();
    pict.reset();
    return result;
  };
  if (width < 1 || height < 1 || width > 32767 || height > 32767) {
    MacSetError(kMacBadParameter, "PictOpenRasterWrite");
    return macFailure(failure);
  }
  const PictRect frame{0, 0, static_cast<int16_t>(height), static_cast<int16_t>(width)};
  MacSetCreatType(kAppleDoubleMagic);
  MacSetCreator(kCreatorKest);
  std::unique_ptr<PictFile> pict = PictOpenFileWrite(fileName, frame);
  if (!pict) {
    const int result = macFailure(failure);
    return fail(pict, result);
  }
  if (PictWriteClearBack(*pict) != 0 ||
      PictOpenRasterWrite(*pict, frame, components, table.empty() ? nullptr : table.data(),
                          entries) != 0) {
    const int result = macFailure(failure);
    return fail(pict, result);
  }
  const size_t w = static_cast<size_t>(width);
  for (int i = 0; i < height; ++i) {
    const size_t offset = static_cast<size_t>(height - 1 - i) * w;
    std::array<const uint8_t*, 4> rows{};
    rows[0] = planes[0] + offset;
    if (components >= 3) {
      rows[1] = planes[1] + offset;
      rows[2] = planes[2] + offset;
    }
    if (components == 4) rows[3] = planes[3] + offset;
    if (PictWritePixelScan(*pict, rows, 0, width) != 0 || MacError() != 0) {
      macFailure(failure);
      return fail(pict, -1);
    }
  }
  if (PictCloseRaster(*pict) != 0) {
    const int result = macFailure(failure);
    return fail(pict, result);
  }
  if (PictCloseFile(pict) != 0) {
    const int result = macFailure(failure);
    return fail(pict, result);
  }
  return 0;
}

int readPictSampleBits(const std::string& path) {
  // The reader does not return the depth, so the raster header is read once
  // more on its own; anything unreadable is left to readPictImage to report.
  int bits = 8;
  std::unique_ptr<PictFile> pict = PictOpenFileRead(path);
  if (pict && PictOpenRasterRead(*pict) == 1) bits = sampleBits(*pict->raster);
  if (pict) {
    pict->raster.reset();
    PictCloseFile(pict);
  }
  MacClearError();
  return bits;
}

Status kx_pictureReadPict(const std::string& base, Picture& picture, ReadRefusal* why) {
  ReadRefusal refusal;
  if (why) *why = refusal;
  try {
    const std::string name = base + ".pict";
    picture.ratio = 1.0f;
    int16_t width = 0, height = 0;
    int colorCount = 0;  // the colour table is wanted (and not used)
    Colormap colorTable;
    std::string failed;
    const int result = readPictImage(name, &width, &height, &colorCount, &colorTable,
                                     picture.channel, &refusal, &failed);
    picture.width = width;
    picture.height = height;
    if (why) *why = refusal;
    if (refusal) {
      return Error(refusal.cause == ReadRefusal::Cause::tooLarge ? ErrorCode::tooLarge
                                                                 : ErrorCode::outOfMemory,
                   kx_readRefusalText(name, refusal));
    }
    if (result != 0) return failure(failed);
    // Grey and one-bit pictures have only plane 0: the reduction reads red,
    // green and blue, so green and blue repeat it.
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (int c = 1; c <= 2; ++c) {
      if (picture.channel[c]) continue;
      picture.channel[c] = allocatePlane(n);
      if (!picture.channel[c]) {
        refusal = ReadRefusal{ReadRefusal::Cause::outOfMemory, width, height};
        if (why) *why = refusal;
        return Error(ErrorCode::outOfMemory, kx_readRefusalText(name, refusal));
      }
      std::memcpy(picture.channel[c].get(), picture.channel[0].get(), n);
    }
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "allocation error");
  }
  return {};
}

Status kx_pictureWritePict(const std::string& base, int width, int height,
                           const std::array<const uint8_t*, 4>& planes, int colors,
                           const Colormap* colormap) {
  try {
    std::string failed;
    if (writePictImage(base + ".pict", width, height, colors, colormap, planes, &failed) != 0) {
      return failure(failed);
    }
  } catch (const std::bad_alloc&) {
    return Error(ErrorCode::outOfMemory, "allocation error");
  }
  return {};
}

}  // namespace kx
