// A picture's width and height from the first bytes of its file, without
// decoding it: PNG, GIF, JPEG and WebP. null for anything else (or a head
// too short to tell).
export function pictureSize(b) {
  const be16 = (i) => (b[i] << 8) | b[i + 1];
  const le16 = (i) => b[i] | (b[i + 1] << 8);
  const be32 = (i) => be16(i) * 65536 + be16(i + 2);
  const le24 = (i) => le16(i) + b[i + 2] * 65536;
  const text = (i, n) => String.fromCharCode(...b.subarray(i, i + n));
  if (b.length >= 24 && be32(0) === 0x89504e47 && text(12, 4) === 'IHDR') {
    return { width: be32(16), height: be32(20) };
  }
  if (b.length >= 10 && text(0, 4) === 'GIF8') return { width: le16(6), height: le16(8) };
  if (b.length >= 30 && text(0, 4) === 'RIFF' && text(8, 4) === 'WEBP') {
    const chunk = text(12, 4);
    if (chunk === 'VP8 ') return { width: le16(26) & 0x3fff, height: le16(28) & 0x3fff };
    if (chunk === 'VP8L') {
      const bits = b[21] | (b[22] << 8) | (b[23] << 16) | (b[24] << 24);
      return { width: (bits & 0x3fff) + 1, height: ((bits >>> 14) & 0x3fff) + 1 };
    }
    if (chunk === 'VP8X') return { width: le24(24) + 1, height: le24(27) + 1 };
    return null;
  }
  if (b.length >= 4 && be16(0) === 0xffd8) {
    // Markers up to the first start of frame (SOF0 to SOF15 but DHT, JPG, DAC).
    for (let i = 2; i + 9 < b.length; ) {
      if (b[i] !== 0xff) return null;
      const marker = b[i + 1];
      if (marker === 0xff) {
        i++;
        continue;
      }
      if (marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc) {
        return { width: be16(i + 7), height: be16(i + 5) };
      }
      i += 2 + (marker >= 0xd0 && marker <= 0xd9 ? 0 : be16(i + 2));
    }
  }
  return null;
}
