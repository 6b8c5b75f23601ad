// Opening Macintosh containers and reading them through the big-endian
// primitives; looking up and storing records in damaged ancillary files.
// Input: [layout] [flags] [split hi] [split lo] [content...]; layout % 4:
// 0 the named file (AppleSingle or plain), 1 the header file "%f" beside fixed
// data, 2 split at the split point into header and data file, 3 the ancillary
// file (record versions made valid unless flags bit 2). Flags bit 0: require
// type 'PICT' (else 0); bit 1: no type at all.
#include <unistd.h>

#include <functional>

#include "common/bytes.h"
#include "fileserver/fileserver.h"
#include "fuzz.h"
#include "macfile/macfile.h"

namespace {

// Reads through the primitives the way the PICT reader does: numbers, blocks
// and skips whose sizes come from the data itself.
void readSome(kx::MacFile& f) {
  uint8_t block[512] = {};
  const std::function<void()> steps[] = {
      [&] { kx::MacSkip(f, kx::MacReadShort(f) & 0x3FF); },
      [&] { kxfuzz::see(kx::MacReadLong(f)); },
      [&] { kxfuzz::see(kx::MacRead(f, block, kx::MacReadByte(f) + 1u)); },
      [&] { kxfuzz::see(kx::MacReadNumbers(f, block, 8)); },
      [&] {
        kx::MacResetIOCount(f);
        kx::MacSkip(f, static_cast<int32_t>(kx::MacReadLong(f)));
      },
      [&] {
        if (kx::MacGetIOCount(f) > 1000) kx::MacSkipTo(f, 0);
      },
      [&] { kx::MacSkip(f, -static_cast<int32_t>(kx::MacReadByte(f))); },
  };
  for (int i = 0; i < 64 && kx::MacError() == 0; ++i) {
    steps[i % 7]();
    kxfuzz::see(kx::MacError(), kx::MacGetIOCount(f));
    kxfuzz::seeBytes(block, sizeof block);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::string& dir = kxfuzz::workDir("mac");
  const std::string name = dir + "/f", header = dir + "/%f", ancillary = dir + "/.HSancillary";
  for (const std::string& path : {name, header, ancillary}) ::unlink(path.c_str());

  const int layout = data[0] % 4;
  const uint8_t flags = data[1];
  const size_t split = (size_t{data[2]} << 8) | data[3];
  const uint8_t* content = data + 4;
  const size_t length = size - 4;

  if (layout == 3) {
    std::vector<uint8_t> records(content, content + length);
    for (size_t r = 0; !(flags & 4) && r + 300 <= records.size(); r += 300)
      kx::storeBE32(&records[r + 48], 8139);
    kxfuzz::writeInput(ancillary, records.data(), records.size());
    uint32_t type = 0, creator = 0;
    kxfuzz::see(kx::GetKAType(name, type, creator));
    uint8_t info[32] = {};
    kxfuzz::see(kx::GetKAInfo(dir + "/a:2Fb", info));
    kx::SetKAType(dir + "/" + std::string(40, 'L'), 0x50494354, creator);
    kxfuzz::see(type, creator, kx::SetKAType(name, type + 1, 0));
    kxfuzz::seeBytes(info, sizeof info);
    return 0;
  }

  static const char kData[] = "0123456789ABCDEF0123456789ABCDEF";
  if (layout == 0) {
    kxfuzz::writeInput(name, content, length);
  } else if (layout == 1) {
    kxfuzz::writeInput(header, content, length);
    kxfuzz::writeInput(name, reinterpret_cast<const uint8_t*>(kData), sizeof kData - 1);
  } else {
    const size_t cut = split < length ? split : length;
    kxfuzz::writeInput(header, content, cut);
    kxfuzz::writeInput(name, content + cut, length - cut);
  }

  kx::MacClearError();
  uint32_t type = (flags & 1) ? kx::MacFourCC("PICT") : 0;
  auto f = kx::MacOpenFile(name, "r", (flags & 2) ? nullptr : &type);
  if (f) {
    readSome(*f);
    kx::MacClearError();
    kx::MacCloseFile(f);
  }
  kx::MacClearError();
  return 0;
}
