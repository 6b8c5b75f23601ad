#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string longNameAt(const Bytes& file, size_t i) {
  std::string s;
  for (size_t k = 0; k < 32 && file[i * kRecord + 254 + k]; ++k) {
    s.push_back(static_cast<char>(file[i * kRecord + 254 + k]));
  }
  return s;
}

Bytes recordBytes(const std::string& longName, uint32_t type, uint32_t version) {
  Bytes r(kRecord, 0);
  storeBE32(&r[8], type);
  storeBE32(&r[48], version);
  std::copy(longName.begin(), longName.end(), r.begin() + 254);
  return r;
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

TEST(ResFileName, IsInTheResourceDirectoryWhichIsCreatedSearchable) {
  TempDir dir;
  EXPECT_EQ(resfilename(dir.path("pic")), dir.path(".HSResource/pic"));
  struct stat st;
  ASSERT_EQ(stat(dir.path(".HSResource").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST(Ancillary, NewRecordHasTheExactLayout) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("read me.txt"), kPict, kKest), 0);
  Bytes expected(kRecord, 0);
  storeBE32(&expected[8], kPict);
  storeBE32(&expected[12], kKest);
  storeBE32(&expected[40], 0x76B04120);
  storeBE32(&expected[48], 0x1FCB);
  const std::string longName = "read me.txt", shortName = "READ_ME.TXT";
  std::copy(longName.begin(), longName.end(), expected.begin() + 254);
  std::copy(shortName.begin(), shortName.end(), expected.begin() + 286);
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")), expected);
}

TEST(Ancillary, SettingAgainRewritesInPlaceAndZeroKeepsAField) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("a"), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path("b"), kPict, kKest), 0);
  Bytes file = readFileBytes(dir.path(".HSancillary"));
  storeBE32(&file[40], 12345);  // a date stamp set by the server stays as found
  writeFileBytes(dir.path(".HSancillary"), file);
  ASSERT_EQ(SetKAType(dir.path("a"), kText, 0), 0);
  file = readFileBytes(dir.path(".HSancillary"));
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(loadBE32(&file[8]), kText);
  EXPECT_EQ(loadBE32(&file[12]), kKest);
  EXPECT_EQ(loadBE32(&file[40]), 12345u);
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

TEST(Ancillary, NamesAreDecodedAndShortened) {
  const std::pair<const char*, const char*> decoded[] = {
      {"a:2Fb", "a/b"},
      {"a:2fb", "a:2fb"},
      {"x:G1", "x:G1"},
      {":0D:A9", "\r\xA9"},
      {"end:2", "end:2"},
      {"end:", "end:"},
      {"::2F", ":/"},
      {"a:00b", "a"},
      {"0123456789abcdef0123456789abcdefXYZ", "0123456789abcdef0123456789abcdef"}};
  for (const auto& [in, out] : decoded) EXPECT_EQ(DecodeKAName(in), out) << in;
  const std::pair<const char*, const char*> shortNames[] = {
      {"read me.txt", "READ_ME.TXT"}, {"verylongname.txt", "VERYLONG.NAM"},
      {".profile", ".PRO"},           {"a.b.c", "A.BC"},
      {"pic-1/2", "PIC12"},           {"123456789", "12345678.9"}};
  for (const auto& [in, out] : shortNames) EXPECT_EQ(MakeKAShortName(in), out) << in;
}

TEST(Ancillary, RecordOfAnotherVersionIsNeverWrittenOver) {
  TempDir dir;
  Bytes file = recordBytes("known", kPict, 8139);
  const Bytes foreign = recordBytes("foreign", kText, 1234);
  file.insert(file.end(), foreign.begin(), foreign.end());
  writeFileBytes(dir.path(".HSancillary"), file);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("new"), kPict, kKest), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("read ai: wrong version: 1234, sb 8139\n"), std::string::npos) << err;
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")), file);
  // Records before it are still rewritten in place.
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("known"), kText, 0), 0);
  testing::internal::GetCapturedStderr();
  const Bytes now = readFileBytes(dir.path(".HSancillary"));
  EXPECT_EQ(loadBE32(&now[8]), kText);
  EXPECT_EQ(Bytes(now.begin() + kRecord, now.end()), foreign);
}

TEST(AncillaryConcurrency, ProcessesSettingTypesAtOnceKeepEveryRecord) {
  TempDir dir;
  constexpr int kProcesses = 6, kNamesEach = 20;
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
        failures += SetKAType(dir.path(nameOf(p, k)), typeOf(p, k), kKest) != 0;
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
  for (int p = 0; p < kProcesses; ++p) {
    for (int k = 0; k < kNamesEach; ++k) {
      uint32_t type = 0, creator = 0;
      EXPECT_EQ(GetKAType(dir.path(nameOf(p, k)), type, creator), 0);
      EXPECT_EQ(type, typeOf(p, k)) << nameOf(p, k);
    }
  }
}

}  // namespace
}  // namespace kx
