// Ancillary records of the Unix file server and resource-fork paths.
//
// ".HSancillary" (one per directory) is a headerless sequence of 300-byte
// records in no particular order; integers big-endian:
//
//   offset size  field
//      0     8   not used (zero in a new record)
//      8    32   Finder information: type at 8, creator at 12, flags and
//                positions at 16..39
//     40     4   date stamp; 1991262496 (0x76B04120) in a new record
//     44     4   not used (zero)
//     48     4   record version, 8139 (0x1FCB)
//     52   202   not used (zero)
//    254    32   long name (the Macintosh name, decoded), 0-terminated when
//                shorter than 32; empty (first byte 0) marks a free slot
//    286    13   short name, 8.3 upper case, 0-terminated
//    299     1   not used
//
// The file server and any number of tools share the file, so every operation
// holds an exclusive lockf() lock on the whole file from opening to closing:
// the search for a slot and the write of the record happen under one lock.
//
// What we refuse: reading stops at the first record of another version (its
// layout is unknown), and a record is then never written after it, where it
// would overwrite a record we cannot read. A partial record at the end (a torn
// write) is not a record: a new record is written at the record boundary
// over it, so the file stays a whole number of records.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/bytes.h"
#include "common/messages.h"
#include "fileserver/fileserver.h"

namespace kx {

namespace {

constexpr size_t kRecordSize = 300;
constexpr size_t kFinderInfoOffset = 8;
constexpr size_t kFinderInfoSize = 32;
constexpr size_t kDateOffset = 40;
constexpr uint32_t kNewRecordDate = 1991262496;
constexpr size_t kVersionOffset = 48;
constexpr uint32_t kRecordVersion = 8139;
constexpr size_t kLongNameOffset = 254;
constexpr size_t kLongNameSize = 32;
constexpr size_t kShortNameOffset = 286;
constexpr size_t kShortNameSize = 13;

using Record = std::array<uint8_t, kRecordSize>;

// Directory part (up to and including the last "/", empty without one) and
// last component of a file name.
std::string directoryPart(const std::string& name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}
std::string lastComponent(const std::string& name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool isUpperHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
int hexValue(char c) {
  return c <= '9' ? c - '0' : c - 'A' + 10;
}

// The long name field holds 32 bytes without a terminator when it is full.
bool longNameEquals(const Record& r, const std::string& name) {
  size_t len = 0;
  while (len < kLongNameSize && r[kLongNameOffset + len] != 0) ++len;
  return len == name.size() && std::memcmp(&r[kLongNameOffset], name.data(), len) == 0;
}

// Reads up to one record at offset; the number of bytes read, or -1.
ssize_t readRecord(int fd, Record& r, off_t offset) {
  size_t got = 0;
  while (got < kRecordSize) {
    ssize_t n = pread(fd, r.data() + got, kRecordSize - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool writeRecord(int fd, const Record& r, off_t offset) {
  size_t put = 0;
  while (put < kRecordSize) {
    ssize_t n = pwrite(fd, r.data() + put, kRecordSize - put, offset + static_cast<off_t>(put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    put += static_cast<size_t>(n);
  }
  return true;
}

// The ancillary file of one directory, open and exclusively locked for the
// lifetime of the object.
// Set by the readers of pictures, on any thread.
std::atomic<bool> gLookupsOnlyRead{false};

class AncillaryFile {
 public:
  // `lookup`: only to read; when lookups only read, a missing file is no
  // file (not open, nothing said) and a shared lock is enough.
  explicit AncillaryFile(const std::string& fileName, bool lookup = false)
      : path_(directoryPart(fileName) + ".HSancillary") {
    if (lookup && gLookupsOnlyRead) {
      fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      struct flock shared {};
      shared.l_type = F_RDLCK;
      shared.l_whence = SEEK_SET;
      int rc = 0;
      if (fd_ >= 0) {
        do rc = ::fcntl(fd_, F_SETLKW, &shared);
        while (rc != 0 && errno == EINTR);
      }
      if (fd_ >= 0 && rc != 0) {
        ::close(fd_);
        fd_ = -1;
      }
      return;
    }
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      kx_printf(Stream::Err, "%s: %s\n", ".HSancillary", std::strerror(errno));
      return;
    }
    // Offset 0 and length 0: the lock covers the whole file, including
    // records appended while we hold it. lockf waits until it is granted.
    int rc;
    do rc = lockf(fd_, F_LOCK, 0);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      kx_printf(Stream::Err, "%s: %s\n", ".HSancillary", std::strerror(errno));
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~AncillaryFile() {
    if (fd_ < 0) return;
    lockf(fd_, F_ULOCK, 0);
    ::close(fd_);
  }
  AncillaryFile(const AncillaryFile&) = delete;
  AncillaryFile& operator=(const AncillaryFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

struct SearchResult {
  bool found = false;
  Record record{};  // the found record
  // Where a record for the name goes: the found record, the first free slot,
  // or the record boundary after the last record; -1 when there is no safe
  // place (reading stopped at a record of another version, or failed).
  off_t writeOffset = -1;
};

SearchResult searchRecord(const AncillaryFile& file, const std::string& longName) {
  SearchResult result;
  off_t offset = 0;
  off_t freeSlot = -1;
  bool safeEnd = true;
  Record r;
  for (;;) {
    ssize_t n = readRecord(file.fd(), r, offset);
    if (n < 0) {
      kx_printf(Stream::Err, "%s: %s\n", ".HSancillary", std::strerror(errno));
      safeEnd = false;
      break;
    }
    if (static_cast<size_t>(n) < kRecordSize) break;
    auto version = static_cast<int32_t>(loadBE32(&r[kVersionOffset]));
    if (version != static_cast<int32_t>(kRecordVersion)) {
      kx_printf(Stream::Err, "read ai: wrong version: %d, sb %d\n", version,
                static_cast<int>(kRecordVersion));
      safeEnd = false;
      break;
    }
    // An empty name is never a file's record: empty long names mark free
    // slots.
    if (!longName.empty() && longNameEquals(r, longName)) {
      result.found = true;
      result.record = r;
      result.writeOffset = offset;
      return result;
    }
    if (r[kLongNameOffset] == 0 && freeSlot < 0) freeSlot = offset;
    offset += static_cast<off_t>(kRecordSize);
  }
  if (freeSlot >= 0) {
    result.writeOffset = freeSlot;
  } else if (safeEnd) {
    result.writeOffset = offset;
  }
  return result;
}

Record newRecord(const std::string& longName) {
  Record r{};
  storeBE32(&r[kDateOffset], kNewRecordDate);
  storeBE32(&r[kVersionOffset], kRecordVersion);
  std::memcpy(&r[kLongNameOffset], longName.data(), std::min(longName.size(), kLongNameSize));
  std::string shortName = MakeKAShortName(longName);
  std::memcpy(&r[kShortNameOffset], shortName.data(),
              std::min(shortName.size(), kShortNameSize - 1));
  return r;
}

// Searches fileName's record under the lock, lets update() change it (or the
// new record) and writes it back. 0 written, 1 not written, -1 no file.
template <typename Update>
int storeRecord(const std::string& fileName, Update update) {
  AncillaryFile file(fileName);
  if (!file.isOpen()) return -1;
  const std::string longName = DecodeKAName(lastComponent(fileName));
  if (longName.empty()) {
    kx_printf(Stream::Err, "writeai: %s: no file name to record\n", fileName.c_str());
    return 1;
  }
  SearchResult found = searchRecord(file, longName);
  if (found.writeOffset < 0) {
    kx_printf(Stream::Err, "writeai: %s: not written after a record of another version\n",
              file.path().c_str());
    return 1;
  }
  Record r = found.found ? found.record : newRecord(longName);
  update(r);
  if (!writeRecord(file.fd(), r, found.writeOffset)) {
    kx_printf(Stream::Err, "%s: %s\n", "writeai", std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

std::string DecodeKAName(std::string_view unixName) {
  std::string out;
  size_t i = 0;
  while (i < unixName.size() && out.size() < kLongNameSize) {
    char c = unixName[i];
    if (c == ':' && i + 2 < unixName.size() && isUpperHexDigit(unixName[i + 1]) &&
        isUpperHexDigit(unixName[i + 2])) {
      char byte = static_cast<char>(hexValue(unixName[i + 1]) * 16 + hexValue(unixName[i + 2]));
      // The record keeps names as 0-terminated text: a 0 byte ends the name.
      if (byte == 0) break;
      out.push_back(byte);
      i += 3;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

std::string MakeKAShortName(std::string_view longName) {
  std::string out;
  int p = 0;  // position in the 8.3 form: 0..7 the name, 9..11 the extension
  size_t i = 0;
  while (p < 12 && i < longName.size()) {
    unsigned char c = static_cast<unsigned char>(longName[i]);
    if (p == 8) {
      // The name part is full: start the extension and look at c again.
      out.push_back('.');
      p = 9;
      continue;
    }
    ++i;
    if (c == '.') {
      if (p < 8) {
        out.push_back('.');
        p = 9;
      }
    } else if (c == ' ') {
      out.push_back('_');
      ++p;
    } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')) {
      out.push_back(static_cast<char>(c));
      ++p;
    } else if (c >= 'a' && c <= 'z') {
      out.push_back(static_cast<char>(c - 'a' + 'A'));
      ++p;
    }
  }
  return out;
}

void kx_ancillaryLookupsOnlyRead(bool on) {
  gLookupsOnlyRead = on;
}

int GetKAType(const std::string& fileName, uint32_t& fileType, uint32_t& creator) {
  fileType = 0;
  creator = 0;
  AncillaryFile file(fileName, true);
  if (!file.isOpen()) return gLookupsOnlyRead ? 0 : -1;
  SearchResult found = searchRecord(file, DecodeKAName(lastComponent(fileName)));
  if (found.found) {
    fileType = loadBE32(&found.record[kFinderInfoOffset]);
    creator = loadBE32(&found.record[kFinderInfoOffset + 4]);
  }
  return 0;
}

int SetKAType(const std::string& fileName, uint32_t fileType, uint32_t creator) {
  int rc = storeRecord(fileName, [&](Record& r) {
    if (fileType != 0) storeBE32(&r[kFinderInfoOffset], fileType);
    if (creator != 0) storeBE32(&r[kFinderInfoOffset + 4], creator);
  });
  return rc == 0 ? 0 : -1;
}

int GetKAInfo(const std::string& fileName, uint8_t* finderInfo) {
  std::memset(finderInfo, 0, kFinderInfoSize);
  AncillaryFile file(fileName, true);
  if (!file.isOpen()) return gLookupsOnlyRead ? 0 : -1;
  SearchResult found = searchRecord(file, DecodeKAName(lastComponent(fileName)));
  if (found.found) {
    std::memcpy(finderInfo, &found.record[kFinderInfoOffset], kFinderInfoSize);
  }
  return 0;
}

int SetKAInfo(const std::string& fileName, const uint8_t* finderInfo) {
  if (!finderInfo) return 0;
  return storeRecord(fileName, [&](Record& r) {
    std::memcpy(&r[kFinderInfoOffset], finderInfo, kFinderInfoSize);
  });
}

std::string resfilename(const std::string& fileName) {
  try {
    const std::string dir = directoryPart(fileName) + ".HSResource";
    std::string path = dir + "/" + lastComponent(fileName);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
      // Search permission is what makes a directory usable; chmod sets the
      // bits exactly, whatever the file-creation mask.
      if (::mkdir(dir.c_str(), 0755) == 0) ::chmod(dir.c_str(), 0755);
    }
    return path;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    kx_printf(Stream::Err, "%s: %s\n", "resfilename", std::strerror(errno));
    return std::string();
  }
}

}  // namespace kx
