#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "macfile/macfile.h"
#include "support/tempdir.h"

namespace kx {
namespace {

constexpr uint32_t kPict = 0x50494354;  // 'PICT'
constexpr uint32_t kKest = 0x4B455354;  // 'KEST'
constexpr uint32_t kText = 0x54455854;  // 'TEXT'

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes be32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes zeros(size_t n) {
  return Bytes(n, 0);
}
Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// An AppleSingle prologue with no data bytes; each refusal case breaks one field.
struct Container {
  uint32_t magic = kAppleSingleMagic;
  uint32_t version = 0x00010000;
  std::string home = "Macintosh       ";
  std::vector<MacEntry> entries = {{9, 224, 32}, {2, 282, 0}, {1, 282, 0}};

  Bytes bytes() const {
    Bytes b;
    ByteWriter w(b);
    w.u32(magic);
    w.u32(version);
    w.bytes(home.data(), 16);
    w.u16(static_cast<uint32_t>(entries.size()));
    for (const MacEntry& e : entries) {
      w.u32(e.id);
      w.u32(e.offset);
      w.u32(e.length);
    }
    b.resize(224);
    w.u32(kPict);
    w.u32(kKest);
    w.zeros(24 + 26);
    return b;
  }
};

Bytes dataOf(std::unique_ptr<MacFile>& f, size_t n) {
  Bytes b(n);
  EXPECT_EQ(MacRead(*f, b.data(), n), 0) << MacGetError();
  return b;
}

void expectOpenFails(const std::string& path, uint32_t type, int code, const std::string& message) {
  MacClearError();
  EXPECT_EQ(MacOpenFile(path, "r", &type), nullptr);
  EXPECT_EQ(MacError(), code);
  EXPECT_EQ(std::string(MacGetError()), message);
  MacClearError();
}

std::unique_ptr<MacFile> writeWith(uint32_t kind, const std::string& path, const Bytes& data,
                                   uint32_t type = kPict) {
  MacSetCreatType(kind);
  MacSetCreator(kKest);
  auto f = MacOpenFile(path, "w", &type);
  EXPECT_NE(f, nullptr) << MacGetError();
  if (f && !data.empty()) {
    EXPECT_EQ(MacWrite(*f, data.data(), data.size()), 0);
  }
  return f;
}

TEST(MacWriteContainer, AppleDoubleHeaderFileIsExactly256Bytes) {
  TempDir dir;
  auto f = writeWith(kAppleDoubleMagic, dir.path("face"), text("PICTDATA"));
  ASSERT_EQ(MacCloseFile(f), 0);
  const Bytes expected = concat({be32(0x00051607),
                                 be32(0x00010000),
                                 text("Macintosh       "),
                                 {0, 2},
                                 be32(9),
                                 be32(224),
                                 be32(32),
                                 be32(2),
                                 be32(282),
                                 be32(0),
                                 zeros(224 - 50),
                                 text("PICTKEST"),
                                 zeros(24)});
  ASSERT_EQ(expected.size(), 256u);
  EXPECT_EQ(readFileBytes(dir.path("%face")), expected);
  EXPECT_EQ(readFileBytes(dir.path("face")), text("PICTDATA"));
  EXPECT_FALSE(std::filesystem::exists(dir.path(".HSancillary")));
}

TEST(MacWriteContainer, AppleSingleWith1000DataBytesIs1282BytesWithItsLength) {
  TempDir dir;
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  auto f = writeWith(kAppleSingleMagic, dir.path("one"), data);
  ASSERT_EQ(MacCloseFile(f), 0);
  const Bytes file = readFileBytes(dir.path("one"));
  ASSERT_EQ(file.size(), 1282u);
  const Bytes expectedPrologue = concat({be32(0x00051600),
                                         be32(0x00010000),
                                         text("Macintosh       "),
                                         {0, 3},
                                         be32(9),
                                         be32(224),
                                         be32(32),
                                         be32(2),
                                         be32(282),
                                         be32(0),
                                         be32(1),
                                         be32(282),
                                         be32(1000),
                                         zeros(224 - 62),
                                         text("PICTKEST"),
                                         zeros(24 + 26)});
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 282), expectedPrologue);
  EXPECT_EQ(Bytes(file.begin() + 50, file.begin() + 62),
            (Bytes{0, 0, 0, 1, 0, 0, 1, 0x1A, 0, 0, 3, 0xE8}));
  EXPECT_EQ(Bytes(file.begin() + 282, file.end()), data);
}

class MacReadBack : public testing::TestWithParam<uint32_t> {};

TEST_P(MacReadBack, TypeZeroReceivesTheTypeAndARequiredTypeMustMatch) {
  TempDir dir;
  const Bytes data = text("0123456789");
  auto w = writeWith(GetParam(), dir.path("pic"), data);
  ASSERT_EQ(MacCloseFile(w), 0);
  for (uint32_t asked : {0u, kPict}) {
    uint32_t type = asked;
    auto f = MacOpenFile(dir.path("pic"), "r", &type);
    ASSERT_NE(f, nullptr) << MacGetError();
    EXPECT_EQ(type, kPict);
    EXPECT_EQ(f->creator(), kKest);
    EXPECT_EQ(dataOf(f, data.size()), data);
    EXPECT_EQ(MacCloseFile(f), 0);
  }
  expectOpenFails(dir.path("pic"), kText, kMacWrongType,
                  dir.path("pic") + " is not the correct Macintosh file type");
}

INSTANTIATE_TEST_SUITE_P(Kinds, MacReadBack,
                         testing::Values(kAppleSingleMagic, kAppleDoubleMagic, kMacPlainKind));

TEST(MacReadContainer, AppleSingleDataLongerThanTheFileIsReadToItsEnd) {
  // The data length is not kept: a length beyond the file reads what the
  // file has.
  TempDir dir;
  Container c;
  c.entries[2].length = 0xFFFFFFFF;
  Bytes b = c.bytes();
  b.resize(282);
  b.insert(b.end(), {'d', 'a', 't', 'a'});
  writeFileBytes(dir.path("single"), b);
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("single"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(dataOf(f, 4), text("data"));
  uint8_t more;
  EXPECT_EQ(MacRead(*f, &more, 1), -1);
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacReadContainer, PlainFileWithoutRecordHasTypeZero) {
  TempDir dir;
  writeFileBytes(dir.path("raw"), text("raw data"));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("raw"), "r", &type);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(dataOf(f, 8), text("raw data"));
  EXPECT_EQ(MacCloseFile(f), 0);
  expectOpenFails(dir.path("raw"), kPict, kMacWrongType,
                  dir.path("raw") + " is not the correct Macintosh file type");
}

TEST(MacOpenErrors, MissingFileUnknownModeAndWrongMagic) {
  TempDir dir;
  expectOpenFails(dir.path("f"), 0, kMacOpenError, "Can't open file " + dir.path("f"));
  uint32_t type = 0;
  EXPECT_EQ(MacOpenFile(dir.path("f"), "a", &type), nullptr);
  EXPECT_EQ(MacError(), kMacModeError);
  EXPECT_STREQ(MacGetError(), "Unknown mode");
  EXPECT_FALSE(std::filesystem::exists(dir.path("f")));
  writeFileBytes(dir.path("%a"), Container().bytes());
  writeFileBytes(dir.path("a"), text("data"));
  expectOpenFails(dir.path("a"), 0, kMacNotDataFile,
                  dir.path("a") + " is not a Macintosh data file");
}

TEST(MacOpenErrors, BrokenHeadersAreRefusedWithoutReadingOutOfBounds) {
  const struct {
    const char* what;
    void (*change)(Container&);
    int code;
  } cases[] = {{"version", [](Container& c) { c.version = 0x20000; }, 7},
               {"home", [](Container& c) { c.home = "ProDOS          "; }, 7},
               {"noEntries", [](Container& c) { c.entries.clear(); }, 7},
               {"noFinderInfo",
                [](Container& c) {
                  c.entries = {{1, 282, 0}};
                },
                7},
               {"finderInfoLength", [](Container& c) { c.entries[0].length = 31; }, 7},
               {"finderInfoBeyondEnd", [](Container& c) { c.entries[0].offset = 0xFFFFFFF0; }, 7},
               {"finderInfoAcrossEnd", [](Container& c) { c.entries[0].offset = 260; }, 7},
               {"dataBeyondEnd", [](Container& c) { c.entries[2].offset = 100000; }, 7},
               {"noDataEntry", [](Container& c) { c.entries.pop_back(); }, 9}};
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Container broken = Container();
    c.change(broken);
    writeFileBytes(dir.path("f"), broken.bytes());
    expectOpenFails(dir.path("f"), 0, c.code,
                    dir.path("f") + (c.code == 7 ? " is not a known Macintosh file"
                                                 : " is a Macintosh file with no data!"));
  }
  Bytes b = Container().bytes();
  b[24] = b[25] = 0xFF;  // 65535 descriptors in a 282-byte file
  writeFileBytes(dir.path("f"), b);
  expectOpenFails(dir.path("f"), 0, kMacUnknownFile,
                  dir.path("f") + " is not a known Macintosh file");
}

}  // namespace
}  // namespace kx
