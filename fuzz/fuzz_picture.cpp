// Reads arbitrary bytes as a picture file. Whatever it reads must write back
// and read back to the same samples: the coders and decoders agree on every
// record the reader can produce.
#include <cstring>
#include <span>

#include "common/pixel_limit.h"
#include "fuzz.h"
#include "picture/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A tiny (truncated, valid) input may declare a picture as large as the
  // limit: lowered, it keeps a run quick.
  kx::kx_setMaxPixels(int64_t{1} << 18);
  kx::PicturePtr picture = kx::QZ_pictureReadMemory(std::span<const uint8_t>(data, size));
  if (!picture) return 0;

  // Written with a packet per channel, or one for all, coded as the last byte
  // picks, and read back.
  const uint8_t type = size ? data[size - 1] % 3 : 2;
  uint8_t all = 0;
  kx::ChannelPacketList packets;
  for (int c = 0; c < 4; ++c) {
    if (!picture->channel[c]) continue;
    all |= 0x80 >> c;
    if (type != 2) packets.push_back({8, type, static_cast<uint8_t>(0x80 >> c)});
  }
  if (packets.empty()) packets.push_back({8, type, all});
  std::vector<uint8_t> bytes;
  if (!kx::QZ_pictureWriteMemory(*picture, &packets, 0, bytes)) abort();
  kxfuzz::seeBytes(bytes.data(), bytes.size());
  kx::PicturePtr again = kx::QZ_pictureReadMemory(bytes);
  if (!again || again->width != picture->width || again->height != picture->height) abort();
  const size_t plane = static_cast<size_t>(picture->width) * static_cast<size_t>(picture->height);
  for (int c = 0; c < 4; ++c)
    if (!picture->channel[c] != !again->channel[c] ||
        (picture->channel[c] &&
         std::memcmp(picture->channel[c].get(), again->channel[c].get(), plane) != 0))
      abort();
  return 0;
}
