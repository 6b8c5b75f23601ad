#include "reduce/reference.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace kx::ref {

namespace {

struct Node {
  int red, green, blue;
  int value;
  std::unique_ptr<Node> next;
};

struct Table {
  std::unique_ptr<Node> buckets[6553];
  int size = 0;

  static int hash(int r, int g, int b) { return (33023 * r + 30013 * g + 27011 * b) % 6553; }
  Node* find(int r, int g, int b) {
    for (Node* n = buckets[hash(r, g, b)].get(); n; n = n->next.get()) {
      if (n->red == r && n->green == g && n->blue == b) return n;
    }
    return nullptr;
  }
  void add(int r, int g, int b, int value) {
    auto node = std::make_unique<Node>(Node{r, g, b, value, nullptr});
    node->next = std::move(buckets[hash(r, g, b)]);
    buckets[hash(r, g, b)] = std::move(node);
    ++size;
  }
};

// Top-down merge sort: takes from the left run on ties, so it is stable.
template <typename T, typename Less>
void mergeSort(std::vector<T>& v, size_t lo, size_t hi, Less less) {
  if (hi - lo < 2) return;
  const size_t mid = (lo + hi) / 2;
  mergeSort(v, lo, mid, less);
  mergeSort(v, mid, hi, less);
  std::vector<T> merged;
  size_t i = lo, j = mid;
  while (i < mid && j < hi) merged.push_back(less(v[j], v[i]) ? v[j++] : v[i++]);
  while (i < mid) merged.push_back(v[i++]);
  while (j < hi) merged.push_back(v[j++]);
  for (size_t k = 0; k < merged.size(); ++k) v[lo + k] = merged[k];
}

struct RefBox {
  int first, colors;
  int64_t pixels;
};

}  // namespace

bool histogram(const Image& image, int maxColors, std::vector<Entry>& out) {
  auto table = std::make_unique<Table>();
  for (size_t i = 0; i < image.rgb.size(); i += 3) {
    const int r = image.rgb[i], g = image.rgb[i + 1], b = image.rgb[i + 2];
    if (Node* n = table->find(r, g, b)) {
      n->value++;
    } else {
      if (table->size >= maxColors) return false;
      table->add(r, g, b, 1);
    }
  }
  out.clear();
  for (auto& head : table->buckets) {
    for (Node* n = head.get(); n; n = n->next.get()) {
      out.push_back(Entry{n->red, n->green, n->blue, n->value});
    }
  }
  return true;
}

std::vector<int> quantTable(int bits) {
  const int n = 1 << bits;
  std::vector<int> levels;
  for (int i = 0; i < n; ++i) {
    int part = (i << (8 - bits)) & 255, level = part;
    for (int k = 1; bits * k < 8; ++k) {
      part >>= bits;
      level |= part;
    }
    levels.push_back(level);
  }
  std::vector<int> table(256);
  int c = levels[0], j = 0;
  for (int i = 0; i < 256; ++i) {
    if (c < i) c = levels[j++];
    table[i] = c;
  }
  return table;
}

std::vector<Entry> medianCut(std::vector<Entry> h, int64_t pixels, int colors, int paletteQuant) {
  std::vector<RefBox> boxes{{0, static_cast<int>(h.size()), pixels}};
  while (colors >= 2 && static_cast<int>(boxes.size()) < colors) {
    int k = 0;
    while (k < static_cast<int>(boxes.size()) && boxes[k].colors < 2) ++k;
    if (k == static_cast<int>(boxes.size())) break;
    RefBox& box = boxes[k];
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    for (int i = box.first; i < box.first + box.colors; ++i) {
      const int v[3] = {h[i].red, h[i].green, h[i].blue};
      for (int c = 0; c < 3; ++c) lo[c] = std::min(lo[c], v[c]), hi[c] = std::max(hi[c], v[c]);
    }
    const int rr = hi[0] - lo[0], rg = hi[1] - lo[1], rb = hi[2] - lo[2];
    const int channel = rr >= rg && rr >= rb ? 0 : rg >= rb ? 1 : 2;
    std::vector<Entry> part(h.begin() + box.first, h.begin() + box.first + box.colors);
    mergeSort(part, 0, part.size(), [channel](const Entry& a, const Entry& b) {
      const int va = channel == 0 ? a.red : channel == 1 ? a.green : a.blue;
      const int vb = channel == 0 ? b.red : channel == 1 ? b.green : b.blue;
      return va < vb;
    });
    std::copy(part.begin(), part.end(), h.begin() + box.first);
    int64_t lower = h[box.first].count;
    const int64_t half = box.pixels / 2;
    int i = 1;
    while (i < box.colors - 1 && lower < half) lower += h[box.first + i++].count;
    RefBox upper{box.first + i, box.colors - i, box.pixels - lower};
    box.colors = i;
    box.pixels = lower;
    boxes.push_back(upper);
    mergeSort(boxes, 0, boxes.size(),
              [](const RefBox& a, const RefBox& b) { return a.pixels > b.pixels; });
  }
  std::vector<Entry> map(colors);
  const std::vector<int> table = paletteQuant ? quantTable(paletteQuant) : std::vector<int>();
  for (size_t k = 0; k < boxes.size() && k < map.size(); ++k) {
    const RefBox& box = boxes[k];
    if (box.colors == 0) continue;
    if (!paletteQuant) {
      int best = box.first;
      for (int i = box.first + 1; i < box.first + box.colors; ++i) {
        if (h[i].count > h[best].count) best = i;
      }
      map[k] = Entry{h[best].red, h[best].green, h[best].blue, 0};
    } else {
      int64_t s[3] = {0, 0, 0}, n = 0;
      for (int i = box.first; i < box.first + box.colors; ++i) {
        s[0] += int64_t{h[i].red} * h[i].count;
        s[1] += int64_t{h[i].green} * h[i].count;
        s[2] += int64_t{h[i].blue} * h[i].count;
        n += h[i].count;
      }
      map[k] = Entry{table[s[0] / n], table[s[1] / n], table[s[2] / n], 0};
    }
  }
  return map;
}

void compress(Image& image, int target) {
  const double ratio = target / 255.0;
  for (uint8_t& v : image.rgb) {
    const double scaled = std::trunc(v * ratio);
    v = static_cast<uint8_t>(std::trunc(scaled / ratio));
  }
}

std::vector<uint8_t> remap(Image& image, const std::vector<Entry>& map, int colors, bool adjust,
                           float factor) {
  std::vector<uint8_t> indices;
  const int w = image.width;
  std::vector<float> cur[3], next[3];
  for (int c = 0; c < 3; ++c) cur[c].assign(w + 2, 0.0f);
  for (int y = 0; y < image.height; ++y) {
    for (int c = 0; c < 3; ++c) next[c].assign(w + 2, 0.0f);
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &image.rgb[3 * (static_cast<size_t>(y) * w + x)];
      int s[3] = {p[0], p[1], p[2]};
      if (adjust) {
        for (int c = 0; c < 3; ++c) {
          s[c] = std::clamp(static_cast<int>(cur[c][x + 1] + static_cast<float>(p[c])), 0, 255);
        }
      }
      int index = 0, best = 1000000000;
      for (int i = 0; i < colors; ++i) {
        const int dr = s[0] - map[i].red, dg = s[1] - map[i].green, db = s[2] - map[i].blue;
        const int d = dr * dr + dg * dg + db * db;
        if (d < best) best = d, index = i;
      }
      const int pal[3] = {map[index].red, map[index].green, map[index].blue};
      if (adjust) {
        for (int c = 0; c < 3; ++c) {
          const float err = static_cast<float>(s[c] - pal[c]) * factor;
          cur[c][x + 2] += err * 7 / 16;
          next[c][x] += err * 3 / 16;
          next[c][x + 1] += err * 5 / 16;
          next[c][x + 2] += err / 16;
        }
      }
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(pal[c]);
      indices.push_back(static_cast<uint8_t>(index));
    }
    for (int c = 0; c < 3; ++c) cur[c] = next[c];
  }
  return indices;
}

std::vector<uint8_t> icnBytes(int w, int h, const std::vector<uint8_t>& indices) {
  std::vector<uint8_t> out;
  auto put = [&out](uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto text = [&out](const char* s) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(s[i]));
  };
  const uint64_t n = static_cast<uint64_t>(w) * h;
  text("ICON"), text("0100"), put(1, 2);
  for (int i = 0; i < 22; ++i) out.push_back(0);
  text("CICN"), text("0100"), put(n + 28, 4);
  put(0, 2), put(1, 2), put(w, 2), put(h, 2), put((w + 7) / 8, 2), put(0, 2);
  put(0, 4), put(0, 4), put(n, 4);
  for (uint8_t i : indices) out.push_back(i);
  put(0, 4);
  text("_EOF");
  return out;
}

std::vector<uint8_t> clmBytes(const std::vector<Entry>& map, int colors, bool bitsGiven, int bits) {
  std::vector<uint8_t> out = {'C', 'M', 'A', 'P', '0', '1', '0', '0'};
  auto put16 = [&out](int v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  };
  put16(colors), put16(bits), put16(0), put16(0);
  for (int i = 0; i < colors; ++i) {
    for (int v : {map[i].red, map[i].green, map[i].blue}) {
      put16(bitsGiven ? v * ((1 << bits) - 1) / 255 : v);
    }
  }
  return out;
}

void quantChannel(std::vector<uint8_t>& channel, int width, int bits) {
  const std::vector<int> table = quantTable(bits);
  std::vector<float> v(channel.begin(), channel.end());
  const size_t n = v.size();
  for (size_t i = 0; i < n; ++i) {
    const float x = std::clamp(v[i], 0.0f, 255.0f);
    const float level = static_cast<float>(table[static_cast<int>(std::nearbyint(x))]);
    v[i] = level;
    const float err = std::clamp(x - level, -40.0f, 40.0f);
    if (std::fabs(err) < 0.0001) continue;
    const double e = err;
    const bool last = (i + 1) % width == 0, first = i % width == 0;
    if (!last) v[i + 1] = static_cast<float>(v[i + 1] + 7 * e / 16);
    if (i + width < n) {
      if (!first) v[i + width - 1] = static_cast<float>(v[i + width - 1] + 3 * e / 16);
      v[i + width] = static_cast<float>(v[i + width] + 5 * e / 16);
      if (!last) v[i + width + 1] = static_cast<float>(v[i + width + 1] + 1 * e / 16);
    }
  }
  for (size_t i = 0; i < n; ++i) channel[i] = static_cast<uint8_t>(v[i]);
}

Result reduce(Image image, const Options& o) {
  Result result;
  if (o.compress != 255) compress(image, o.compress);
  std::vector<Entry> h;
  if (!histogram(image, 62768, h)) {
    compress(image, 128);
    if (!histogram(image, 62768, h)) {
      result.status = 1;
      return result;
    }
  }
  const std::vector<Entry> map =
      medianCut(h, static_cast<int64_t>(image.width) * image.height, o.colors, o.paletteQuant);
  result.clm = clmBytes(map, o.colors, o.bitsGiven, o.bits);
  const std::vector<uint8_t> indices = remap(image, map, o.colors, o.adjust, o.adjustFactor);
  result.icn = icnBytes(image.width, image.height, indices);
  result.mapped = image;
  return result;
}

}  // namespace kx::ref
