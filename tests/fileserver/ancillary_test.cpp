// The file server's .HSancillary records: layout, updates in place, names,
// foreign versions and several processes at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "fileserver/fileserver.h"
#include "support/tempdir.h"

namespace kx {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kRecord = 300;
constexpr uint32_t kPict = 0x50494354, kKest = 0x4B455354, kText = 0x54455854;

std::string longNameAt(const Bytes& file, size_t i) {
  const char* name = reinterpret_cast<const char*>(&file[i * kRecord + 254]);
  return std::string(name, strnlen(name, 32));
}

std::string nameOf(uint32_t type) {  // (not "p" + …: g++ 12 warns of a restrict overlap)
  return std::to_string(type).insert(0, "p");
}

Bytes record(const std::string& longName, const std::string& shortName, uint32_t type,
             uint32_t creator, uint32_t date, uint32_t version) {
  Bytes r(kRecord, 0);
  storeBE32(&r[8], type);
  storeBE32(&r[12], creator);
  storeBE32(&r[40], date);
  storeBE32(&r[48], version);
  std::copy(longName.begin(), longName.end(), r.begin() + 254);
  std::copy(shortName.begin(), shortName.end(), r.begin() + 286);
  return r;
}

TEST(Ancillary, RecordsAreWrittenAndRewrittenInPlace) {
  TempDir dir;
  const std::string anc = dir.path(".HSancillary");
  ASSERT_EQ(SetKAType(dir.path("read me.txt"), kPict, kKest), 0);
  EXPECT_EQ(readFileBytes(anc),
            record("read me.txt", "READ_ME.TXT", kPict, kKest, 0x76B04120, 8139));
  ASSERT_EQ(SetKAType(dir.path("b"), kPict, kKest), 0);
  Bytes file = readFileBytes(anc);
  storeBE32(&file[40], 12345);  // a date stamp set by the server stays as found
  writeFileBytes(anc, file);
  ASSERT_EQ(SetKAType(dir.path("read me.txt"), kText, 0), 0);  // zero keeps a field
  ASSERT_EQ(SetKAType(dir.path("read me.txt"), 0, kPict), 0);
  file = readFileBytes(anc);
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(loadBE32(&file[40]), 12345u);
  uint32_t type = 0, creator = 0;
  EXPECT_EQ(GetKAType(dir.path("read me.txt"), type, creator), 0);
  EXPECT_EQ(std::pair(type, creator), std::pair(kText, kPict));
  // A free slot (its name cleared by the server) is reused before the file grows.
  file[254] = 0;
  writeFileBytes(anc, file);
  ASSERT_EQ(SetKAType(dir.path("three"), kText, kKest), 0);
  file = readFileBytes(anc);
  ASSERT_EQ(file.size(), 2 * kRecord);
  EXPECT_EQ(longNameAt(file, 0), "three");
  EXPECT_EQ(longNameAt(file, 1), "b");
  // A name of 32 characters fills its field, without a terminator.
  const std::string name32(32, 'L');
  ASSERT_EQ(SetKAType(dir.path(name32), kPict, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path(name32.substr(0, 31)), kText, kKest), 0);
  ASSERT_EQ(SetKAType(dir.path(name32), kText, 0), 0);
  file = readFileBytes(anc);
  ASSERT_EQ(file.size(), 4 * kRecord);
  EXPECT_EQ(longNameAt(file, 2), name32);
  EXPECT_EQ(loadBE32(&file[2 * kRecord + 8]), kText);
  EXPECT_EQ(longNameAt(file, 3), name32.substr(0, 31));
}

// A disk that fills in the middle of a record: the setting fails, and the
// record before it is not written over.
TEST(Ancillary, ARecordCutShortIsAFailure) {
  TempDir dir;
  ASSERT_EQ(SetKAType(dir.path("a"), kPict, kKest), 0);
  const Bytes before = readFileBytes(dir.path(".HSancillary"));
  {
    const FileSizeLimit limit(kRecord + 200);
    EXPECT_NE(SetKAType(dir.path("b"), kPict, kKest), 0);
  }
  Bytes now = readFileBytes(dir.path(".HSancillary"));
  now.resize(kRecord);
  EXPECT_EQ(now, before);
}

TEST(Ancillary, ResourceDirectoryIsCreatedSearchable) {
  TempDir dir;
  EXPECT_EQ(resfilename(dir.path("pic")), dir.path(".HSResource/pic"));
  const std::filesystem::file_status st = std::filesystem::status(dir.path(".HSResource"));
  EXPECT_EQ(st.type(), std::filesystem::file_type::directory);
  EXPECT_EQ(st.permissions(), std::filesystem::perms(0755));
}

TEST(Ancillary, NamesAreDecodedAndShortened) {
  // clang-format off
  const std::pair<const char*, const char*> decoded[] = {
      {"a:2Fb", "a/b"}, {"a:2fb", "a:2fb"}, {"x:G1", "x:G1"}, {":0D:A9", "\r\xA9"},
      {"end:2", "end:2"}, {"::2F", ":/"}, {"a:00b", "a"},
      {"0123456789abcdef0123456789abcdefXYZ", "0123456789abcdef0123456789abcdef"}};
  for (const auto& [in, out] : decoded) EXPECT_EQ(DecodeKAName(in), out) << in;
  const std::pair<const char*, const char*> shortNames[] = {
      {"verylongname.txt", "VERYLONG.NAM"}, {".profile", ".PRO"}, {"a.b.c", "A.BC"},
      {"pic-1/2", "PIC12"}, {"123456789", "12345678.9"}};
  // clang-format on
  for (const auto& [in, out] : shortNames) EXPECT_EQ(MakeKAShortName(in), out) << in;
}

TEST(Ancillary, RecordOfAnotherVersionIsNeverWrittenOver) {
  TempDir dir;
  const Bytes foreign = record("foreign", "", kText, 0, 0, 1234);
  Bytes file = record("known", "", kPict, 0, 0, 8139);
  file.insert(file.end(), foreign.begin(), foreign.end());
  writeFileBytes(dir.path(".HSancillary"), file);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SetKAType(dir.path("new"), kPict, kKest), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("read ai: wrong version: 1234, sb 8139\n"), std::string::npos) << err;
  EXPECT_EQ(readFileBytes(dir.path(".HSancillary")), file);
  // Records before it are still rewritten in place.
  EXPECT_EQ(SetKAType(dir.path("known"), kText, 0), 0);
  const Bytes now = readFileBytes(dir.path(".HSancillary"));
  EXPECT_EQ(loadBE32(&now[8]), kText);
  EXPECT_EQ(Bytes(now.begin() + kRecord, now.end()), foreign);
}

// Each process sets names of its own and one shared name: the file lock
// keeps every record, and the shared name one record.
TEST(Ancillary, ProcessesSettingTypesAtOnceKeepEveryRecord) {
  TempDir dir;
  constexpr int kProcesses = 6, kNamesEach = 20;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kNamesEach; ++k) {
        const auto type = 0x41414100u + static_cast<uint32_t>(p * 64 + k);
        failures += SetKAType(dir.path(nameOf(type)), type, kKest) != 0;
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
  std::set<std::string> seen;
  for (size_t i = 0; i < file.size() / kRecord; ++i) {
    const std::string name = *seen.insert(longNameAt(file, i)).first;
    if (name != "shared") {
      EXPECT_EQ(nameOf(loadBE32(&file[i * kRecord + 8])), name);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kNamesEach + 1));
}

}  // namespace
}  // namespace kx
