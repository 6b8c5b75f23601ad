// AppleSingle and AppleDouble containers: exact bytes, read back, refusals;
// the error state: messages no other test sees, printing, length.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "macfile/macfile.h"
#include "support/tempdir.h"

namespace kx {
namespace {

constexpr uint32_t kPict = 0x50494354, kKest = 0x4B455354, kText = 0x54455854;

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes be32(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The prologue of a container with the given entries, to its finder info.
Bytes prologue(uint32_t magic, std::vector<MacEntry> entries) {
  Bytes b = concat({be32(magic),
                    be32(0x00010000),
                    text("Macintosh       "),
                    {0, static_cast<uint8_t>(entries.size())}});
  for (const MacEntry& e : entries) b = concat({b, be32(e.id), be32(e.offset), be32(e.length)});
  b.resize(224);
  return concat({b, text("PICTKEST"), Bytes(24, 0)});
}

// An AppleSingle file of no data bytes.
const std::vector<MacEntry> kEntries = {{9, 224, 32}, {2, 282, 0}, {1, 282, 0}};
Bytes single(const std::vector<MacEntry>& entries = kEntries) {
  return concat({prologue(kAppleSingleMagic, entries), Bytes(26, 0)});
}

Bytes dataOf(std::unique_ptr<MacFile>& f, size_t n) {
  Bytes b(n);
  EXPECT_EQ(MacRead(*f, b.data(), n), 0) << MacGetError();
  return b;
}

void expectOpenFails(const std::string& path, uint32_t type, int code, const std::string& message,
                     const char* mode = "r") {
  MacClearError();
  EXPECT_EQ(MacOpenFile(path, mode, &type), nullptr);
  EXPECT_EQ(MacError(), code);
  EXPECT_EQ(std::string(MacGetError()), message);
  MacClearError();
}

// The data written as a PICT file of KEST in the kind of container given.
void writeWith(uint32_t kind, const std::string& path, const Bytes& data) {
  MacSetCreatType(kind);
  MacSetCreator(kKest);
  uint32_t type = kPict;
  auto f = MacOpenFile(path, "w", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(MacWrite(*f, data.data(), data.size()), 0);
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacWriteContainer, AppleDoubleHeaderAndAppleSingleAreExact) {
  TempDir dir;
  writeWith(kAppleDoubleMagic, dir.path("face"), text("PICTDATA"));
  EXPECT_EQ(readFileBytes(dir.path("%face")), prologue(0x00051607, {{9, 224, 32}, {2, 282, 0}}));
  EXPECT_EQ(readFileBytes(dir.path("face")), text("PICTDATA"));
  EXPECT_FALSE(std::filesystem::exists(dir.path(".HSancillary")));
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  writeWith(kAppleSingleMagic, dir.path("one"), data);
  EXPECT_EQ(readFileBytes(dir.path("one")),
            concat({prologue(0x00051600, {{9, 224, 32}, {2, 282, 0}, {1, 282, 1000}}), Bytes(26, 0),
                    data}));
}

class MacReadBack : public testing::TestWithParam<uint32_t> {};

TEST_P(MacReadBack, TypeZeroReceivesTheTypeAndARequiredTypeMustMatch) {
  TempDir dir;
  const Bytes data = text("0123456789");
  writeWith(GetParam(), dir.path("pic"), data);
  for (uint32_t asked : {0u, kPict}) {
    uint32_t type = asked;
    auto f = MacOpenFile(dir.path("pic"), "r", &type);
    ASSERT_NE(f, nullptr) << MacGetError();
    EXPECT_EQ(type, kPict);
    EXPECT_EQ(f->creator(), kKest);
    EXPECT_EQ(dataOf(f, data.size()), data);
    // Positions count from the start of the data, wherever it lies.
    EXPECT_EQ(MacSkipTo(*f, 5), 0);
    EXPECT_EQ(MacReadByte(*f), '5');
    EXPECT_EQ(MacSkipTo(*f, -1000), -1);
    EXPECT_EQ(MacError(), kMacReadError);
    MacClearError();
    EXPECT_EQ(MacCloseFile(f), 0);
  }
  expectOpenFails(dir.path("pic"), kText, kMacWrongType,
                  dir.path("pic") + " is not the correct Macintosh file type");
}

INSTANTIATE_TEST_SUITE_P(Kinds, MacReadBack,
                         testing::Values(kAppleSingleMagic, kAppleDoubleMagic, kMacPlainKind),
                         [](const auto& p) {
                           return p.param == kAppleSingleMagic   ? "AppleSingle"
                                  : p.param == kAppleDoubleMagic ? "AppleDouble"
                                                                 : "PlainFile";
                         });

// The data length is not kept: a length beyond the file reads what the file
// has.
TEST(MacReadContainer, DataLengthBeyondTheFileReadsToTheFilesEnd) {
  TempDir dir;
  writeFileBytes(dir.path("single"),
                 concat({single({{9, 224, 32}, {2, 282, 0}, {1, 282, 0xFFFFFFFF}}), text("data")}));
  uint32_t type = 0;
  auto f = MacOpenFile(dir.path("single"), "r", &type);
  ASSERT_NE(f, nullptr) << MacGetError();
  EXPECT_EQ(dataOf(f, 4), text("data"));
  uint8_t more;
  EXPECT_EQ(MacRead(*f, &more, 1), -1);
  MacClearError();
  EXPECT_EQ(MacCloseFile(f), 0);
}

TEST(MacOpenErrors, MissingFileUnknownModeAndWrongMagic) {
  TempDir dir;
  expectOpenFails(dir.path("f"), 0, kMacOpenError, "Can't open file " + dir.path("f"));
  expectOpenFails(dir.path("f"), 0, kMacModeError, "Unknown mode", "a");
  EXPECT_FALSE(std::filesystem::exists(dir.path("f")));
  writeFileBytes(dir.path("%a"), single());
  writeFileBytes(dir.path("a"), text("data"));
  expectOpenFails(dir.path("a"), 0, kMacNotDataFile,
                  dir.path("a") + " is not a Macintosh data file");
}

TEST(MacOpenErrors, BrokenHeadersAreRefusedWithoutReadingOutOfBounds) {
  const struct {
    const char* what;
    std::vector<MacEntry> entries;
    size_t at;  // where `patch` replaces the bytes, when it is not empty
    Bytes patch;
    int code;
  } cases[] = {{"version", kEntries, 4, be32(0x20000), 7},
               {"home", kEntries, 8, text("ProDOS"), 7},
               {"noEntries", {}, 0, {}, 7},
               {"noFinderInfo", {{1, 282, 0}}, 0, {}, 7},
               {"finderInfoLength", {{9, 224, 31}, {2, 282, 0}, {1, 282, 0}}, 0, {}, 7},
               {"finderInfoBeyondEnd", {{9, 0xFFFFFFF0, 32}, {2, 282, 0}, {1, 282, 0}}, 0, {}, 7},
               {"finderInfoAcrossEnd", {{9, 260, 32}, {2, 282, 0}, {1, 282, 0}}, 0, {}, 7},
               {"dataBeyondEnd", {{9, 224, 32}, {2, 282, 0}, {1, 100000, 0}}, 0, {}, 7},
               {"noDataEntry", {{9, 224, 32}, {2, 282, 0}}, 0, {}, 9},
               {"65535Descriptors", kEntries, 24, {0xFF, 0xFF}, 7}};
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = single(c.entries);
    std::copy(c.patch.begin(), c.patch.end(), b.begin() + static_cast<std::ptrdiff_t>(c.at));
    writeFileBytes(dir.path("f"), b);
    expectOpenFails(dir.path("f"), 0, c.code,
                    dir.path("f") + (c.code == 7 ? " is not a known Macintosh file"
                                                 : " is a Macintosh file with no data!"));
  }
}

TEST(MacErrorState, MessagesFromTheTableCutTo79CharactersPrintedOnOneLine) {
  const std::string longName(300, 'n');
  const struct {
    int code;
    const char* text;
    std::string expected;
  } cases[] = {{0, nullptr, "No Error"},
               {4, "ignored", "Can't allocate memory"},
               {12, "a.pict", "a.pict: Bad opcode encountered."},
               {14, "MacCloseFile", "MacCloseFile: Null pointer!"},
               {15, "a.pict", "a.pict: Unimplemented opcode encountered!"},
               {16, "a.pict", "a.pict: Unimplemented Code Required!"},
               {2, "100%s%d.pict", "Can't read file 100%s%d.pict"},  // never a format
               {19, "x", "Unknown error"},  // the first code past the last message
               {2, longName.c_str(), "Can't read file " + std::string(79 - 16, 'n')}};
  for (const auto& c : cases) {
    MacSetError(c.code, c.text);
    EXPECT_EQ(MacError(), c.code);
    EXPECT_EQ(MacGetError(), c.expected);
  }
  // Printing clears the code but not the message.
  MacSetError(kMacReadError, "face.pict");
  testing::internal::CaptureStderr();
  MacPrintError();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR ====> Can't read file face.pict <==== ERROR\n");
  EXPECT_EQ(MacError(), 0);
  EXPECT_STREQ(MacGetError(), "Can't read file face.pict");
}

}  // namespace
}  // namespace kx
