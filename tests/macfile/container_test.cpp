#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fileserver/fileserver.h"
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

// A container prologue as a reader meets it; fields are parameters so that
// each test can break one of them.
struct Container {
  uint32_t magic = kAppleSingleMagic;
  uint32_t version = 0x00010000;
  std::string home = "Macintosh       ";
  std::vector<MacEntry> entries;
  size_t padTo = 0;  // zero bytes up to this size after the descriptors
  uint32_t type = kPict;
  uint32_t creator = kKest;
  uint32_t finderAt = 224;  // where the Finder information bytes are put

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
    if (b.size() < finderAt) w.zeros(finderAt - b.size());
    b.resize(finderAt);
    w.u32(type);
    w.u32(creator);
    w.zeros(24);
    if (b.size() < padTo) w.zeros(padTo - b.size());
    return b;
  }
};

Container appleSingle() {
  Container c;
  c.entries = {{9, 224, 32}, {2, 282, 0}, {1, 282, 0}};
  c.padTo = 282;
  return c;
}
Container appleDouble() {
  Container c;
  c.magic = kAppleDoubleMagic;
  c.entries = {{9, 224, 32}, {2, 282, 0}};
  return c;
}

Bytes dataOf(std::unique_ptr<MacFile>& f, size_t n) {
  Bytes b(n);
  EXPECT_EQ(MacRead(*f, b.data(), n), 0) << MacGetError();
  return b;
}

// Expects MacOpenFile to fail with code and the message formatted for path.
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

// ---- Exact bytes written -------------------------------------------------------

TEST(MacWriteContainer, AppleDoubleHeaderFileIsExactly256Bytes) {
  TempDir dir;
  auto f = writeWith(kAppleDoubleMagic, dir.path("face"), text("PICTDATA"));
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_EQ(f, nullptr);
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
  // No ancillary record is made for containers.
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
                                         zeros(24),
                                         zeros(26)});
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 282), expectedPrologue);
  EXPECT_EQ(Bytes(file.begin() + 50, file.begin() + 62),
            (Bytes{0, 0, 0, 1, 0, 0, 1, 0x1A, 0, 0, 3, 0xE8}));
  EXPECT_EQ(Bytes(file.begin() + 282, file.end()), data);
}

TEST(MacWriteContainer, AppleSingleWithoutDataKeepsLengthZero) {
  TempDir dir;
  auto f = writeWith(kAppleSingleMagic, dir.path("empty"), {});
  ASSERT_EQ(MacCloseFile(f), 0);
  const Bytes file = readFileBytes(dir.path("empty"));
  ASSERT_EQ(file.size(), 282u);
  EXPECT_EQ(Bytes(file.begin() + 50, file.begin() + 62),
            (Bytes{0, 0, 0, 1, 0, 0, 1, 0x1A, 0, 0, 0, 0}));
  // And it reads back as a file with no data bytes.
  uint32_t type = 0;
  auto r = MacOpenFile(dir.path("empty"), "r", &type);
  ASSERT_NE(r, nullptr) << MacGetError();
  EXPECT_EQ(type, kPict);
  MacClearError();
  MacReadByte(*r);
  EXPECT_EQ(MacError(), kMacReadError);
  MacClearError();
}

TEST(MacWriteContainer, PlainFileRecordsTypeAndCreatorInTheAncillaryFile) {
  TempDir dir;
  auto f = writeWith(kMacPlainKind, dir.path("plain"), text("abc"));
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_EQ(readFileBytes(dir.path("plain")), text("abc"));
  uint32_t type = 0, creator = 0;
  ASSERT_EQ(GetKAType(dir.path("plain"), type, creator), 0);
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(creator, kKest);
}

TEST(MacWriteContainer, PlainFileWithoutTypeWritesNoRecord) {
  TempDir dir;
  MacSetCreatType(kMacPlainKind);
  auto f = MacOpenFile(dir.path("plain"), "w", nullptr);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(MacWriteByte(*f, 'x'), 0);
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.path(".HSancillary")));
}

TEST(MacWriteContainer, CreatorStartsAsOnfcAndFollowsMacSetCreator) {
  TempDir dir;
  MacSetCreatType(kAppleDoubleMagic);
  MacSetCreator(MacFourCC("ONFC"));
  uint32_t type = kText;
  auto f = MacOpenFile(dir.path("a"), "w", &type);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(MacCloseFile(f), 0);
  const Bytes header = readFileBytes(dir.path("%a"));
  ASSERT_EQ(header.size(), 256u);
  EXPECT_EQ(Bytes(header.begin() + 224, header.begin() + 232), text("TEXTONFC"));
  EXPECT_EQ(MacFourCC("PICT"), kPict);
}

TEST(MacWriteContainer, HeaderFileLivesInTheDataFilesDirectory) {
  TempDir dir;
  std::filesystem::create_directories(dir.path("sub/deeper"));
  auto f = writeWith(kAppleDoubleMagic, dir.path("sub/deeper/pic"), text("x"));
  ASSERT_EQ(MacCloseFile(f), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.path("sub/deeper/%pic")));
  EXPECT_EQ(MacHeaderFileName("dir/sub/pic"), "dir/sub/%pic");
  EXPECT_EQ(MacHeaderFileName("pic"), "%pic");
  EXPECT_EQ(MacHeaderFileName("/pic"), "/%pic");
  // Names of any length are handled (no fixed buffer).
  const std::string longName = std::string(5000, 'd') + "/" + std::string(3000, 'f');
  EXPECT_EQ(MacHeaderFileName(longName), std::string(5000, 'd') + "/%" + std::string(3000, 'f'));
}

TEST(MacWriteContainer, LostBufferedDataIsReportedAtClose) {
  MacSetCreatType(kMacPlainKind);
  auto f = MacOpenFile("/dev/full", "w", nullptr);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(MacWriteLong(*f, 1), 0);  // buffered: the disk is full only at close
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), -1);
  EXPECT_EQ(MacError(), kMacWriteError);
  EXPECT_STREQ(MacGetError(), "Can't write file /dev/full");
  EXPECT_EQ(f, nullptr);
  MacClearError();
}

// ---- Read-back of every kind ---------------------------------------------------

class MacReadBack : public testing::TestWithParam<uint32_t> {};

TEST_P(MacReadBack, AnyTypeReceivesTheTypeAndDataStartsAtItsFirstByte) {
  TempDir dir;
  const Bytes data = text("0123456789");
  auto w = writeWith(GetParam(), dir.path("pic"), data);
  ASSERT_EQ(MacCloseFile(w), 0);
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("pic"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(f->fileType(), kPict);
  EXPECT_EQ(f->creator(), kKest);
  EXPECT_EQ(f->mode, 'r');
  EXPECT_EQ(MacGetIOCount(*f), 0);
  EXPECT_EQ(dataOf(f, data.size()), data);
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST_P(MacReadBack, RequiredTypeMustMatch) {
  TempDir dir;
  auto w = writeWith(GetParam(), dir.path("pic"), text("xyz"));
  ASSERT_EQ(MacCloseFile(w), 0);
  uint32_t type = kPict;
  auto f = MacOpenFile(dir.path("pic"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(dataOf(f, 3), text("xyz"));
  EXPECT_EQ(MacCloseFile(f), 0);
  expectOpenFails(dir.path("pic"), kText, kMacWrongType,
                  dir.path("pic") + " is not the correct Macintosh file type");
}

INSTANTIATE_TEST_SUITE_P(Kinds, MacReadBack,
                         testing::Values(kAppleSingleMagic, kAppleDoubleMagic, kMacPlainKind),
                         [](const testing::TestParamInfo<uint32_t>& i) {
                           return i.param == kAppleSingleMagic   ? std::string("AppleSingle")
                                  : i.param == kAppleDoubleMagic ? std::string("AppleDouble")
                                                                 : std::string("Plain");
                         });

TEST(MacReadContainer, PlainFileWithoutRecordHasTypeZeroAndLeavesAnAncillaryFile) {
  TempDir dir;
  writeFileBytes(dir.path("raw"), text("raw data"));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("raw"), "r", &type);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(f->magic, 0u);
  EXPECT_TRUE(f->entries.empty());
  EXPECT_EQ(dataOf(f, 8), text("raw data"));
  EXPECT_EQ(MacCloseFile(f), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.path(".HSancillary")));
  expectOpenFails(dir.path("raw"), kPict, kMacWrongType,
                  dir.path("raw") + " is not the correct Macintosh file type");
}

TEST(MacReadContainer, NullTypeAcceptsAnyFile) {
  TempDir dir;
  auto w = writeWith(kAppleDoubleMagic, dir.path("pic"), text("q"));
  ASSERT_EQ(MacCloseFile(w), 0);
  auto f = MacOpenFile(dir.path("pic"), "r", nullptr);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacReadContainer, AppleSingleDataStartsAtItsEntryOffset) {
  TempDir dir;
  Container c = appleSingle();
  c.entries = {{2, 400, 0}, {9, 300, 32}, {1, 340, 4}};
  c.finderAt = 300;
  c.padTo = 340;
  writeFileBytes(dir.path("s"), concat({c.bytes(), text("DATA")}));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("s"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(f->dataStart, 340u);
  EXPECT_EQ(dataOf(f, 4), text("DATA"));
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacReadContainer, StrayHeaderFileWithoutMagicIsIgnored) {
  TempDir dir;
  writeFileBytes(dir.path("%pic"), text("not a header at all, just some text......"));
  writeFileBytes(dir.path("pic"), text("real data"));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("pic"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(f->magic, 0u);
  EXPECT_EQ(dataOf(f, 9), text("real data"));
  EXPECT_EQ(MacCloseFile(f), 0);
  // The named file is then judged by its own header.
  Container single = appleSingle();
  single.entries.back().length = 2;
  writeFileBytes(dir.path("pic"), concat({single.bytes(), text("AS")}));
  f = MacOpenFile(dir.path("pic"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(dataOf(f, 2), text("AS"));
  EXPECT_EQ(MacCloseFile(f), 0);
}

// ---- Refusals ------------------------------------------------------------------

TEST(MacOpenErrors, MissingFileIsError1) {
  TempDir dir;
  expectOpenFails(dir.path("nothing"), 0, kMacOpenError, "Can't open file " + dir.path("nothing"));
}

TEST(MacOpenErrors, DirectoryIsError1AndIsNoHeaderFile) {
  TempDir dir;
  std::filesystem::create_directories(dir.path("d"));
  expectOpenFails(dir.path("d"), 0, kMacOpenError, "Can't open file " + dir.path("d"));
  std::filesystem::create_directories(dir.path("%f"));
  writeFileBytes(dir.path("f"), text("data"));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("f"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(dataOf(f, 4), text("data"));
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacOpenErrors, AppleDoubleWithoutDataFileIsError1) {
  TempDir dir;
  writeFileBytes(dir.path("%pic"), appleDouble().bytes());
  expectOpenFails(dir.path("pic"), 0, kMacOpenError, "Can't open file " + dir.path("pic"));
}

TEST(MacOpenErrors, UnknownModeIsError5) {
  TempDir dir;
  for (const char* mode : {"a", "", "x+"}) {
    uint32_t type = 0;
    MacClearError();
    EXPECT_EQ(MacOpenFile(dir.path("f"), mode, &type), nullptr);
    EXPECT_EQ(MacError(), kMacModeError);
    EXPECT_STREQ(MacGetError(), "Unknown mode");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.path("f")));
  MacClearError();
}

TEST(MacOpenErrors, CloseNullIsError14AndUnknownModeIsError5) {
  std::unique_ptr<MacFile> none;
  EXPECT_EQ(MacCloseFile(none), -1);
  EXPECT_EQ(MacError(), kMacNullPointer);
  EXPECT_STREQ(MacGetError(), "MacCloseFile: Null pointer!");
  auto odd = std::make_unique<MacFile>();
  odd->mode = 'a';
  EXPECT_EQ(MacCloseFile(odd), -1);
  EXPECT_EQ(MacError(), kMacModeError);
  MacClearError();
}

TEST(MacOpenErrors, WrongMagicInHeaderOrDataFileIsError6) {
  TempDir dir;
  writeFileBytes(dir.path("%a"), appleSingle().bytes());
  writeFileBytes(dir.path("a"), text("data"));
  expectOpenFails(dir.path("a"), 0, kMacNotDataFile,
                  dir.path("a") + " is not a Macintosh data file");
  writeFileBytes(dir.path("b"), appleDouble().bytes());
  expectOpenFails(dir.path("b"), 0, kMacNotDataFile,
                  dir.path("b") + " is not a Macintosh data file");
}

struct BrokenHeader {
  const char* what;
  Container container;
  int code;
};

void PrintTo(const BrokenHeader& b, std::ostream* os) {
  *os << b.what;
}

Container with(Container c, void (*change)(Container&)) {
  change(c);
  return c;
}

class MacBrokenHeader : public testing::TestWithParam<BrokenHeader> {};

TEST_P(MacBrokenHeader, IsRefusedWithoutReadingOutOfBounds) {
  TempDir dir;
  const BrokenHeader& b = GetParam();
  writeFileBytes(dir.path("f"), b.container.bytes());
  static const char* const kSuffix[] = {"", "",
                                        "", "",
                                        "", "",
                                        "", " is not a known Macintosh file",
                                        "", " is a Macintosh file with no data!"};
  expectOpenFails(dir.path("f"), 0, b.code, dir.path("f") + kSuffix[b.code]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MacBrokenHeader,
    testing::Values(
        BrokenHeader{"version", with(appleSingle(), [](Container& c) { c.version = 0x20000; }), 7},
        BrokenHeader{"home", with(appleSingle(), [](Container& c) { c.home = "ProDOS          "; }),
                     7},
        BrokenHeader{"noEntries", with(appleSingle(), [](Container& c) { c.entries.clear(); }), 7},
        BrokenHeader{"noFinderInfo",
                     with(appleSingle(),
                          [](Container& c) {
                            c.entries = {{1, 282, 0}};
                          }),
                     7},
        BrokenHeader{"finderInfoLength",
                     with(appleSingle(), [](Container& c) { c.entries[0].length = 31; }), 7},
        BrokenHeader{"finderInfoBeyondEnd",
                     with(appleSingle(), [](Container& c) { c.entries[0].offset = 0xFFFFFFF0; }),
                     7},
        BrokenHeader{"finderInfoAcrossEnd",
                     with(appleSingle(), [](Container& c) { c.entries[0].offset = 260; }), 7},
        BrokenHeader{"dataBeyondEnd",
                     with(appleSingle(), [](Container& c) { c.entries[2].offset = 100000; }), 7},
        BrokenHeader{"dataLengthBeyondEnd",
                     with(appleSingle(), [](Container& c) { c.entries[2].length = 0xFFFFFFFF; }),
                     7},
        BrokenHeader{"noDataEntry", with(appleSingle(), [](Container& c) { c.entries.pop_back(); }),
                     9}),
    [](const testing::TestParamInfo<BrokenHeader>& i) { return std::string(i.param.what); });

TEST(MacOpenErrors, EntryCountBeyondTheFileIsRefusedBeforeAllocating) {
  TempDir dir;
  Bytes b = appleSingle().bytes();
  b[24] = 0xFF;  // 65535 descriptors in a 282-byte file
  b[25] = 0xFF;
  writeFileBytes(dir.path("f"), b);
  expectOpenFails(dir.path("f"), 0, kMacUnknownFile,
                  dir.path("f") + " is not a known Macintosh file");
}

TEST(MacOpenErrors, TruncatedHeaderIsAPlainFile) {
  TempDir dir;
  Bytes b = appleSingle().bytes();
  b.resize(20);  // the magic is there, the rest of the header is not
  writeFileBytes(dir.path("f"), b);
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("f"), "r", &type);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->magic, 0u);
  EXPECT_EQ(dataOf(f, 20), b);
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacOpenErrors, OpenForWritingInMissingDirectoryIsError1) {
  TempDir dir;
  for (uint32_t kind : {kAppleSingleMagic, kAppleDoubleMagic, kMacPlainKind}) {
    MacSetCreatType(kind);
    uint32_t type = kPict;
    MacClearError();
    EXPECT_EQ(MacOpenFile(dir.path("no/such"), "w", &type), nullptr);
    EXPECT_EQ(MacError(), kMacOpenError);
    EXPECT_EQ(std::string(MacGetError()), "Can't open file " + dir.path("no/such"));
  }
  MacClearError();
}

}  // namespace
}  // namespace kx
