// Frame driver: walks the frames of a run (one frame, or a numbered
// sequence, each optionally repeated), and for every frame reads the picture,
// filters it, chooses or imposes the palette, writes the colour-mapped image
// file and the optional extra outputs, and shows it.
//
// The unique-colormap mode makes two passes: the first records every frame's
// palette in the virtual image, the second builds one palette from them and
// writes every frame with it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "common/messages.h"
#include "common/outfile.h"
#include "display/display.h"
#include "macfile/macfile.h"
#include "output/output.h"
#include "pict/pict.h"
#include "picture/picture.h"
#include "reduce/reduce.h"

namespace kx {

namespace {

std::string numbered(const std::string& stem, int64_t number) {
  return stem + "." + std::to_string(number);
}

// The output stem of repetition rep of the frame visited ordinal-th.
std::string frameOutputName(const std::string& outputName, const RunSettings& opt, int64_t ordinal,
                            int64_t rep) {
  if (opt.sequence) {
    return numbered(outputName, (opt.repeat * ordinal + rep) * int64_t{opt.step} + opt.start);
  }
  if (opt.repeat >= 2) return numbered(outputName, rep + 1);
  return outputName;
}

// Copies one finished output file to the name of a repeated frame. The copy
// is made in-process (names with blanks or shell characters are safe), and a
// failed copy leaves no partial file behind.
void copyOutput(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) {
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(errno) + "\n");
  }
  auto out = OutFile::create(to);
  if (!out) {
    int err = errno;
    std::fclose(in);
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(err) + "\n");
  }
  std::vector<uint8_t> buffer(1 << 16);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) out->write(buffer.data(), n);
  bool readFailed = std::ferror(in) != 0;
  std::fclose(in);
  if (readFailed) {
    out->abandon();
    kx_error("Cannot copy " + from + " to " + to + ": read error\n");
  }
  if (!out->commit()) {
    kx_error("Cannot copy " + from + " to " + to + ": " + std::strerror(out->error()) + "\n");
  }
}

// Lends the colour-index table to the picture record as its only channel for
// the indexed PICT write, and gives everything back afterwards, also when the
// write unwinds: the record never owns the table.
class LendIndexTable {
 public:
  LendIndexTable(Picture& picture, ReductionTables& tables) : picture_(picture), tables_(tables) {
    for (int c = 0; c < 4; ++c) saved_[c] = std::move(picture_.channel[c]);
    picture_.channel[0] = std::move(tables_.colIndexTab);
  }
  ~LendIndexTable() {
    tables_.colIndexTab = std::move(picture_.channel[0]);
    for (int c = 0; c < 4; ++c) picture_.channel[c] = std::move(saved_[c]);
  }
  LendIndexTable(const LendIndexTable&) = delete;
  LendIndexTable& operator=(const LendIndexTable&) = delete;

 private:
  Picture& picture_;
  ReductionTables& tables_;
  std::array<std::unique_ptr<uint8_t[]>, 4> saved_;
};

// The files a frame reads, and those it may write, by their full names.
std::vector<std::string> outputsOf(const std::string& frameOutput, const std::string& colormapName,
                                   const RunSettings& opt) {
  std::vector<std::string> names = {frameOutput + ".icn", frameOutput + ".clm",
                                    frameOutput + ".cla"};
  if (opt.outPic) names.push_back(QZ_pictureFileName(frameOutput));
  if (opt.outPict) {
    names.push_back(frameOutput + ".pict");
    names.push_back(MacHeaderFileName(frameOutput + ".pict"));
  }
  if (opt.transform && !colormapName.empty()) {
    names.push_back(colormapName + ".clm");
    names.push_back(colormapName + ".cla");
  }
  return names;
}

// Refuses a frame whose input is one of the files it would write: the names
// differ ("victim" and "victim.pic"), but the new file would take the place
// of the picture it is made from.
void checkNotInput(const std::string& input, const std::vector<std::string>& outputs) {
  for (const std::string& output : outputs) {
    if (kx_sameFile(input, output)) {
      kx_note("!!!Error: When using option -o, input and output\n");
      kx_note("must have different file names\n");
      print_usage(kx_programName());
    }
  }
}

// A PICT row holds at most 0x7FFF bytes: four per pixel in true colour, one
// in colour-indexed pictures (rounded up to a multiple of four). Known as
// soon as the frame is read, so nothing is written for a picture that
// cannot be.
void checkPictWidth(const std::string& frameOutput, const std::string& input, int width,
                    const RunSettings& opt) {
  if (opt.outPic || opt.outPict == 0) return;
  const int widest = opt.outPict == 1 ? 8191 : 32764;
  if (width <= widest) return;
  kx_error("cannot write " + frameOutput + ".pict: a " +
           (opt.outPict == 1 ? std::string("true-colour") : std::string("colour-indexed")) +
           " PICT row holds at most " + std::to_string(widest) + " pixels, and " + input + " is " +
           std::to_string(width) + " pixels wide\n");
}

}  // namespace

void operation(const std::string& inputName, const std::string& outputName,
               const std::string& colormapName, RunSettings opt) {
  ReductionTables tables;
  int windowHandle = 0;
  bool tableExists = false;
  std::string previousOutput;
  Colormap sharedColormap;  // the palette of the whole sequence (unique mode)

  const int64_t start = opt.start, end = opt.end, step = opt.step;
  if (step < 1 && start <= end) {
    kx_error("Frame step " + std::to_string(step) + " is below 1: the sequence " +
             std::to_string(start) + " to " + std::to_string(end) + " would never end\n");
  }
  // One palette for a sequence is built from the palettes the first pass
  // records. With an imposed colormap nothing is recorded (the imposed one is
  // used for every frame), and with no output frames nothing is written at
  // all: both run as a single pass.
  if (opt.unique && (opt.colormapMode != 0 || opt.repeat == 0)) opt.unique = 0;

  int lastPass = 0;
  int64_t frameCount = 1;
  if (opt.unique) {
    lastPass = 1;
    if (opt.sequence) frameCount = end < start ? 0 : (end - start) / step + 1;
    tables.virtualImg = kx_allocArray(static_cast<int>(frameCount), 768, 3);
  }

  for (int pass = 0; pass <= lastPass; ++pass) {
    int64_t ordinal = 0;
    for (int64_t frame = start; frame <= end; frame += step, ++ordinal) {
      const std::string frameInput = opt.sequence ? numbered(inputName, frame) : inputName;
      const bool lastFrame = frame + step > end;

      const std::string inputFile =
          opt.inPict ? frameInput + ".pict" : QZ_pictureFileName(frameInput);
      for (int64_t rep = 0; rep < std::max<int64_t>(opt.repeat, 1); ++rep) {
        checkNotInput(inputFile,
                      outputsOf(frameOutputName(outputName, opt, ordinal, rep), colormapName, opt));
      }

      // Everything the frame writes appears under its final names together,
      // once the frame is written, or not at all.
      OutputBatch batch;
      bool committed = false;
      auto commit = [&] {
        if (committed) return;
        committed = true;
        std::string failed;
        if (!batch.commit(&failed)) {
          kx_error("Cannot write " + failed + ": " + std::strerror(errno) + "\n");
        }
      };

      PicturePtr picture = QZ_pictureAllocate();
      if (!picture) kx_error("Cannot allocate picture\n");
      if (opt.verbose) kx_printf(Stream::Err, "Reading image %s...\n", frameInput.c_str());
      if (opt.inPict) {
        if (kx_pictureReadPict(frameInput, *picture, 0) != 0) picture.reset();
      } else {
        picture = QZ_pictureReadFile(frameInput);
      }
      if (!picture) kx_error("Cannot open input file " + inputName + "\n");

      if (opt.quant != 0 || opt.bitsGiven) {
        if (opt.quant == 0 || opt.quant > opt.bits) opt.quant = opt.bits;
        if (opt.quant < 8) {
          if (opt.verbose) kx_note("Making color quantification...\n");
          quantFloyd(*picture, opt.quant, 1);
        }
      }

      const int width = picture->width, height = picture->height;
      checkPictWidth(frameOutputName(outputName, opt, ordinal, 0), inputFile, width, opt);
      const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
      if (!tableExists) {
        kx_note("allocate color table\n");
        tableExists = true;
      }
      // The table is sized by the largest frame so far: a later, larger frame
      // gets a larger table.
      if (!tables.colIndexTab || tables.colIndexSize < pixels) {
        tables.colIndexTab = kx_allocRow(static_cast<int>(pixels), 1);
        tables.colIndexSize = pixels;
      }

      PixelPlanes planes = kx_pic2pixels(*picture, width, height);

      Colormap colormap;
      if (opt.colormapMode != 0) {
        ColormapFileHeader header;
        if (opt.colormapMode == 2) {
          if (opt.verbose) {
            kx_printf(Stream::Err, "Reading ASCII colormap %s.cla...\n", colormapName.c_str());
          }
          colormap = kx_readASCIIColorMap(colormapName, &header, &opt);
        } else {
          if (opt.verbose) {
            kx_printf(Stream::Err, "Reading colormap %s.clm ...\n", colormapName.c_str());
          }
          colormap = kx_readColorMap(colormapName, &header, &opt);
        }
        if (opt.verbose) {
          kx_printf(Stream::Err, "nb_color = %d, nb_bits = %d\n", header.colors, header.bits);
        }
        opt.colors = header.colors;
      }

      if (pass == 1 && frame == start) {
        opt.unique = 2;
        const std::string name =
            outputName + "-" + std::to_string(start) + "-" + std::to_string(end);
        sharedColormap = kx_buildmap(name, tables.virtualImg, static_cast<int>(frameCount),
                                     opt.colors, 255, &opt, tables);
      }
      if (opt.unique == 2) colormap = sharedColormap;

      for (int64_t rep = 0; rep < opt.repeat; ++rep) {
        const std::string frameOutput = frameOutputName(outputName, opt, ordinal, rep);
        if (opt.verbose) kx_printf(Stream::Err, "Writing to %s...\n", frameOutput.c_str());

        if (rep == 0) {
          if (pass == 0 && opt.colormapMode == 0) {
            colormap = kx_buildmap(frameOutput, planes, width, height, 255, &opt, tables);
          }
          if (pass == lastPass) {
            opt.outFile = kx_writeIconeFileHeader(frameOutput, width, height);
            kx_reduceColors(frameOutput, planes, width, height, 255, &opt, colormap, tables);
            opt.outFile.reset();

            if (opt.outPic || opt.outPict > 0) {
              kx_pixels2pic(*picture, width, height, planes, opt.compress);
              if (opt.outPic) {
                if (!QZ_pictureWriteFile(frameOutput, *picture, nullptr, 0)) {
                  kx_error("Cannot write picture file " + QZ_pictureFileName(frameOutput) + ": " +
                           std::strerror(errno) + "\n");
                }
              } else if (opt.outPict == 1) {
                if (kx_pictureWritePict(frameOutput, *picture, 0, nullptr) != 0) kx_exit(-1);
              } else {
                LendIndexTable lend(*picture, tables);
                if (kx_pictureWritePict(frameOutput, *picture, opt.colors, &colormap) != 0) {
                  kx_exit(-1);
                }
              }
            }
            commit();
            if (lastFrame && opt.verbose) {
              kx_note("#### END OF COLOR REDUCTION ####\n");
            }
            if (opt.display) {
              kx_displayImage(&windowHandle, planes, width, height, opt.compress, opt.colors,
                              lastFrame ? 1 : 0);
            }
            previousOutput = frameOutput;
          }
          kx_freeArray(planes);
        } else if (pass == lastPass) {
          copyOutput(previousOutput + ".icn", frameOutput + ".icn");
          if (opt.outPic) {
            copyOutput(QZ_pictureFileName(previousOutput), QZ_pictureFileName(frameOutput));
          }
        }
      }
      commit();
      QZ_pictureDispose(&picture);
    }
  }
}

}  // namespace kx
