#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fileserver/fileserver.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kRecord = 300;
constexpr uint32_t kPict = 0x50494354;
constexpr uint32_t kKest = 0x4B455354;
constexpr uint32_t kText = 0x54455854;

// The long name of record i of an ancillary file's bytes.
std::string longNameAt(const Bytes& file, size_t i) {
  std::string s;
  for (size_t k = 0; k < 32 && file[i * kRecord + 254 + k]; ++k) {
    s.push_back(static_cast<char>(file[i * kRecord + 254 + k]));
  }
  return s;
}

Bytes recordBytes(const std::string& longName, uint32_t type, uint32_t version = 8139) {
  Bytes r(kRecord, 0);
  storeBE32(&r[8], type);
  storeBE32(&r[48], version);
  std::copy(longName.begin(), longName.end(), r.begin() + 254);
  return r;
}

TEST(Ancillary, LookupWithoutRecordGivesZerosAndLeavesAnEmptyFile) {
  TempDir dir;
  uint32_t type = 1, creator = 2;
  EXPECT_EQ(GetKAType(dir.path("pic"), type, creator), 0);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(creator, 0u);
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")), Bytes{});
  uint8_t info[32];
  std::fill(info, info + 32, 0xEE);
  EXPECT_EQ(GetKAInfo(dir.path("pic"), info), 0);
  EXPECT_EQ(Bytes(info, info + 32), Bytes(32, 0));
}

TEST(Ancillary, NewRecordHasTheExactLayout) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("read me.txt"), kPict, kKest), 0);
  const Bytes file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), kRecord);
  Bytes expected(kRecord, 0);
  storeBE32(&expected[8], kPict);
  storeBE32(&expected[12], kKest);
  storeBE32(&expected[40], 0x76B04120);
  storeBE32(&expected[48], 0x1FCB);
  const std::string longName = "read me.txt", shortName = "READ_ME.TXT";
  std::copy(longName.begin(), longName.end(), expected.begin() + 254);
  std::copy(shortName.begin(), shortName.end(), expected.begin() + 286);
  EXPECT_EQ(file, expected);
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("read me.txt"), type, creator), 0);
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(creator, kKest);
}

TEST(Ancillary, SettingAgainRewritesTheRecordInPlaceAndZeroKeepsAField) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("a"), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path("b"), kPict, kKest), 0);
  // A date stamp set by the server stays as found.
  Bytes file = readFileBytes(dir.path(".HSancillary"));
  storeBE32(&file[40], 12345);
  writeFileBytes(dir.path(".HSancillary"), file);

  ASSERT_EQ(SetKAType(dir.path("a"), kText, 0), 0);
  file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(loadBE32(&file[8]), kText);
  EXPECT_EQ(loadBE32(&file[12]), kKest);
  EXPECT_EQ(loadBE32(&file[40]), 12345u);
  EXPECT_EQ(longNameAt(file, 0), "a");
  ASSERT_EQ(SetKAType(dir.path("a"), 0, kPict), 0);
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("a"), type, creator), 0);
  EXPECT_EQ(type, kText);
  EXPECT_EQ(creator, kPict);
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")).size(), 2 * kRecord);
}

TEST(Ancillary, FreeSlotIsReusedBeforeTheFileGrows) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("one"), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path("two"), kPict, kKest), 0);
  Bytes file = readFileBytes(dir.path(".HSancillary"));
  file[254] = 0;  // "one" was deleted by the server
  writeFileBytes(dir.path(".HSancillary"), file);
  ASSERT_EQ(SetKAType(dir.path("three"), kText, kKest), 0);
  file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(longNameAt(file, 0), "three");
  EXPECT_EQ(loadBE32(&file[8]), kText);
  EXPECT_EQ(longNameAt(file, 1), "two");
}

TEST(Ancillary, RecordsAreFoundInAnyDirectoryAndAnyPosition) {
  TempDir dir;
  std::filesystem::create_directories(dir.path("sub"));
  ASSERT_EQ(SetKAType(dir.path("sub/x"), kPict, kKest), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.path("sub/.HSancillary")));
  EXPECT_FALSE(std::filesystem::exists(dir.path(".HSancillary")));
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("sub/x"), type, creator), 0);
  EXPECT_EQ(type, kPict);
  EXPECT_EQ(GetKAType(dir.path("x"), type, creator), 0);
  EXPECT_EQ(type, 0u);
}

TEST(Ancillary, FinderInfoIsStoredWhole) {
  TempDir dir;
  uint8_t info[32];
  for (int i = 0; i < 32; ++i) info[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(SetKAInfo(dir.path("f"), info), 0);
  EXPECT_EQ(SetKAInfo(dir.path("f"), nullptr), 0);
  uint8_t back[32] = {};
  EXPECT_EQ(GetKAInfo(dir.path("f"), back), 0);
  EXPECT_EQ(Bytes(back, back + 32), Bytes(info, info + 32));
  const Bytes file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), kRecord);
  EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 40), Bytes(info, info + 32));
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("f"), type, creator), 0);
  EXPECT_EQ(type, 0x01020304u);
  EXPECT_EQ(creator, 0x05060708u);
}

// ---- Names ---------------------------------------------------------------------

struct NameCase {
  const char* unixName;
  const char* longName;
};

class KADecode : public testing::TestWithParam<NameCase> {};

TEST_P(KADecode, GivesTheMacintoshName) {
  EXPECT_EQ(DecodeKAName(GetParam().unixName), GetParam().longName);
}

INSTANTIATE_TEST_SUITE_P(Names, KADecode,
                         testing::Values(NameCase{"a:2Fb", "a/b"}, NameCase{"a:2fb", "a:2fb"},
                                         NameCase{"x:G1", "x:G1"}, NameCase{":0D:A9", "\r\xA9"},
                                         NameCase{"end:2", "end:2"}, NameCase{"end:", "end:"},
                                         NameCase{"::2F", ":/"}, NameCase{"plain", "plain"},
                                         NameCase{"a:00b", "a"},  // a 0 byte ends the name
                                         NameCase{"0123456789abcdef0123456789abcdefXYZ",
                                                  "0123456789abcdef0123456789abcdef"}));

class KAShortName : public testing::TestWithParam<NameCase> {};

TEST_P(KAShortName, IsTheUpperCase83Form) {
  EXPECT_EQ(MakeKAShortName(GetParam().unixName), GetParam().longName);
}

INSTANTIATE_TEST_SUITE_P(Names, KAShortName,
                         testing::Values(NameCase{"read me.txt", "READ_ME.TXT"},
                                         NameCase{"verylongname.txt", "VERYLONG.NAM"},
                                         NameCase{".profile", ".PRO"}, NameCase{"a.b.c", "A.BC"},
                                         NameCase{"pic-1/2", "PIC12"},
                                         NameCase{"12345678", "12345678"},
                                         NameCase{"123456789", "12345678.9"}, NameCase{"", ""}));

TEST(Ancillary, EncodedSlashIsStoredDecoded) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("a:2Fb"), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path("a:2fb"), kText, kKest), 0);
  const Bytes file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(longNameAt(file, 0), "a/b");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[286])), "AB");
  EXPECT_EQ(longNameAt(file, 1), "a:2fb");
}

TEST(Ancillary, NameOf32CharactersFillsItsFieldAndIsFoundAgain) {
  TempDir dir;
  const std::string name32(32, 'L');
  ASSERT_EQ(SetKAType(dir.path(name32), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path(name32.substr(0, 31)), kText, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path(name32), kText, 0), 0);
  const Bytes file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), 2 * kRecord);
  // No terminator: the short name follows at once.
  EXPECT_EQ(file[254 + 31], 'L');
  EXPECT_EQ(file[286], 'L');
  EXPECT_EQ(longNameAt(file, 0), name32);
  EXPECT_EQ(loadBE32(&file[8]), kText);
  EXPECT_EQ(longNameAt(file, 1), name32.substr(0, 31));
}

// ---- Damaged or foreign files ------------------------------------------------------

TEST(Ancillary, RecordOfAnotherVersionIsNeverWrittenOver) {
  TempDir dir;
  Bytes file = recordBytes("known", kPict);
  const Bytes foreign = recordBytes("foreign", kText, 1234);
  const Bytes after = recordBytes("after", kText);
  file.insert(file.end(), foreign.begin(), foreign.end());
  file.insert(file.end(), after.begin(), after.end());
  writeFileBytes(dir.path(".HSancillary"), file);

  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("new"), kPict, kKest), -1);
  uint8_t info[32] = {1};
  EXPECT_EQ(SetKAInfo(dir.path("new"), info), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("read ai: wrong version: 1234, sb 8139\n"), std::string::npos) << err;
  EXPECT_NE(err.find("writeai: "), std::string::npos) << err;
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")), file);

  // Records before it are still found and rewritten in place.
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("known"), kText, 0), 0);
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("known"), type, creator), 0);
  EXPECT_EQ(GetKAType(dir.path("after"), type, creator), 0);  // beyond the stop
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(type, 0u);
  Bytes now = readFileBytes(dir.path(".HSancillary"));
  EXPECT_EQ(loadBE32(&now[8]), kText);
  EXPECT_EQ(Bytes(now.begin() + kRecord, now.end()), Bytes(file.begin() + kRecord, file.end()));
}

TEST(Ancillary, FreeSlotBeforeAForeignRecordIsStillUsed) {
  TempDir dir;
  Bytes file = recordBytes("", 0);
  const Bytes foreign = recordBytes("foreign", kText, 7);
  file.insert(file.end(), foreign.begin(), foreign.end());
  writeFileBytes(dir.path(".HSancillary"), file);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("new"), kPict, kKest), 0);
  testing::internal::GetCapturedStderr();
  const Bytes now = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(now.size(), 2 * kRecord);
  EXPECT_EQ(longNameAt(now, 0), "new");
  EXPECT_EQ(Bytes(now.begin() + kRecord, now.end()), foreign);
}

TEST(Ancillary, PartialRecordAtTheEndIsReplacedOnTheRecordBoundary) {
  TempDir dir;
  Bytes file = recordBytes("first", kPict);
  file.resize(kRecord + 100, 0x77);  // a torn write
  writeFileBytes(dir.path(".HSancillary"), file);
  ASSERT_EQ(SetKAType(dir.path("second"), kText, kKest), 0);
  const Bytes now = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(now.size(), 2 * kRecord);
  EXPECT_EQ(longNameAt(now, 1), "second");
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("second"), type, creator), 0);
  EXPECT_EQ(type, kText);
}

TEST(Ancillary, EmptyNameIsNeverRecorded) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path(""), kPict, kKest), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")).size(), 0u);
}

TEST(Ancillary, UnopenableFileIsReportedAsHSancillary) {
  TempDir dir;
  testing::internal::CaptureStderr();
  uint32_t type = 5, creator = 5;
  EXPECT_EQ(GetKAType(dir.path("missing/x"), type, creator), -1);
  EXPECT_EQ(SetKAType(dir.path("missing/x"), kPict, kKest), -1);
  const uint8_t info[32] = {};
  EXPECT_EQ(SetKAInfo(dir.path("missing/x"), info), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind(".HSancillary: No such file or directory\n", 0), 0u) << err;
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(creator, 0u);
}

// ---- Resource forks ------------------------------------------------------------

TEST(ResFileName, IsInTheResourceDirectoryWhichIsCreatedSearchable) {
  TempDir dir;
  EXPECT_EQ(resfilename(dir.path("pic")), dir.path(".HSResource/pic"));
  struct stat st;
  ASSERT_EQ(stat(dir.path(".HSResource").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // An existing directory is left as it is.
  ASSERT_EQ(chmod(dir.path(".HSResource").c_str(), 0700), 0);
  EXPECT_EQ(resfilename(dir.path("other")), dir.path(".HSResource/other"));
  ASSERT_EQ(stat(dir.path(".HSResource").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST(ResFileName, NameWithoutDirectoryUsesTheCurrentOne) {
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string path = resfilename("pic");
  const bool made = std::filesystem::is_directory(".HSResource");
  std::filesystem::current_path(previous);
  EXPECT_EQ(path, ".HSResource/pic");
  EXPECT_TRUE(made);
}

// ---- Several processes at once -------------------------------------------------

TEST(AncillaryConcurrency, ProcessesSettingTypesAtOnceKeepEveryRecord) {
  TempDir dir;
  constexpr int kProcesses = 6;
  constexpr int kNamesEach = 20;
  auto nameOf = [](int p, int k) {
    std::string name = "p";
    name += std::to_string(p);
    name += '_';
    name += std::to_string(k);
    return name;
  };
  auto typeOf = [](int p, int k) { return 0x41414100u + static_cast<uint32_t>(p * 64 + k); };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kNamesEach; ++k) {
        const std::string name = dir.path(nameOf(p, k));
        failures += SetKAType(name, typeOf(p, k), kKest) != 0;
        // Everyone also updates one shared name, which must stay one record.
        failures += SetKAType(dir.path("shared"), 0, 0x43000000u + static_cast<uint32_t>(p)) != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Bytes file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), kRecord * (kProcesses * kNamesEach + 1));
  std::map<std::string, int> seen;
  for (size_t i = 0; i < file.size() / kRecord; ++i) {
    EXPECT_EQ(loadBE32(&file[i * kRecord + 48]), 8139u);
    ++seen[longNameAt(file, i)];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kNamesEach + 1));
  EXPECT_EQ(seen["shared"], 1);
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kNamesEach; ++k) {
      const std::string name = nameOf(p, k);
      EXPECT_EQ(seen[name], 1) << name;
      uint32_t type = 0, creator = 0;
      EXPECT_EQ(GetKAType(dir.path(name), type, creator), 0);
      EXPECT_EQ(type, typeOf(p, k)) << name;
      EXPECT_EQ(creator, kKest);
    }
  }
}

}  // namespace
}  // namespace kx
