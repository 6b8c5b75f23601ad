// Opening and closing Macintosh files in their Unix containers.
//
// Container header (AppleSingle and AppleDouble), big-endian:
//
//   offset size  field
//      0     4   magic: 0x00051600 AppleSingle, 0x00051607 AppleDouble
//      4     4   version 0x00010000
//      8    16   home file system "Macintosh       " (no terminator)
//     24     2   entry count n
//     26  12·n   entry descriptors: id, offset, length (4 bytes each)
//                ids: 1 data fork, 2 resource fork, 9 Finder information
//
// Finder information (32 bytes): type (4), creator (4), 24 bytes of flags and
// positions (zero when we write them).
//
// What we write:
//   AppleDouble header file "%name" beside the data file "name", 256 bytes:
//     header, 2 entries {9, 224, 32} {2, 282, 0}; zeros 50..223; Finder
//     information 224..255. The data file holds the data fork only.
//   AppleSingle, one file: header, 3 entries {9, 224, 32} {2, 282, 0}
//     {1, 282, L}; zeros 62..223; Finder information 224..255; zeros
//     256..281; data from 282. L is fixed up when the file is closed (it
//     stays 0 without data).
//   Plain: the data only; type and creator go to the file server's ancillary
//     record.
//
// What we refuse when reading: another version or home file system, no
// entries, a descriptor table longer than the file, a Finder information
// entry that is not 32 bytes or reaches beyond the end of the file, and a
// data entry that starts beyond it (all "not a known Macintosh file"); a data
// entry longer than the rest of the file is read to the file's end. An
// AppleSingle header in a "%name" file or an AppleDouble header in the named
// file ("not a Macintosh data file"). A "%name" file that begins with neither
// magic is not a header file: it is ignored and the named file is read as if
// it were not there.
#include "common/bytes.h"
#include "fileserver/fileserver.h"
#include "macfile/macfile.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace kx {

namespace {

constexpr char kHomeFileSystem[] = "Macintosh       ";  // 16 characters
constexpr size_t kHeaderSize = 26;
constexpr size_t kEntrySize = 12;
constexpr uint32_t kFinderInfoOffset = 224;
constexpr uint32_t kFinderInfoSize = 32;
constexpr uint32_t kResourceOffset = 282;
constexpr uint32_t kAppleSingleDataStart = 282;
constexpr long kDataDescriptorOffset = 50;  // third descriptor of AppleSingle

// Per thread, like the error state: a thread's settings apply to the files it
// creates.
thread_local uint32_t gCreationKind = kMacPlainKind;
thread_local uint32_t gCreator = MacFourCC("ONFC");

std::FILE* openStream(const std::string& path, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (!f) return nullptr;
  // A directory opens for reading but has no bytes: it cannot be opened as a
  // file (nor be taken for a header file).
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  // PICT rows are read and written in many small pieces.
  std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
  return f;
}

// Opens a new file of f for writing, under a temporary name until the file
// is closed (see MacCloseFile).
std::FILE* openOutput(MacFile& f, const std::string& path) {
  std::FILE* s = nullptr;
  std::unique_ptr<PendingFile> pending = PendingFile::open(path, &s);
  if (!pending) return nullptr;
  f.pending.push_back(std::move(pending));
  std::setvbuf(s, nullptr, _IOFBF, 1 << 16);
  return s;
}

// Size of a regular file; other files (pipes, devices) cannot be checked and
// count as unbounded.
int64_t streamSize(std::FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return INT64_MAX;
  return st.st_size;
}

// Reads the 26-byte header; its magic, or 0 when fewer bytes came.
uint32_t readHeader(std::FILE* f, uint8_t* header) {
  if (std::fread(header, 1, kHeaderSize, f) != kHeaderSize) return 0;
  return loadBE32(header);
}

const MacEntry* findEntry(const MacFile& f, uint32_t id) {
  for (const MacEntry& e : f.entries) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

bool entryInside(const MacEntry& e, int64_t size) {
  return int64_t{e.offset} + int64_t{e.length} <= size;
}

bool checkType(const MacFile& f, uint32_t* fileType) {
  if (!fileType) return true;
  if (*fileType == 0) {
    *fileType = f.fileType();
    return true;
  }
  if (*fileType != f.fileType()) {
    MacSetError(kMacWrongType, f.name);
    return false;
  }
  return true;
}

std::unique_ptr<MacFile> openForReading(std::unique_ptr<MacFile> f, uint32_t* fileType) {
  const std::string& name = f->name;
  uint8_t header[kHeaderSize];
  uint32_t magic = 0;
  bool inHeaderFile = false;
  if (std::FILE* h = openStream(MacHeaderFileName(name), "rb")) {
    magic = readHeader(h, header);
    if (magic == kAppleSingleMagic || magic == kAppleDoubleMagic) {
      f->stream.reset(h);
      inHeaderFile = true;
    } else {
      std::fclose(h);
    }
  }
  if (!inHeaderFile) {
    std::FILE* s = openStream(name, "rb");
    if (!s) {
      MacSetError(kMacOpenError, name);
      return nullptr;
    }
    f->stream.reset(s);
    magic = readHeader(s, header);
  }

  if ((inHeaderFile && magic == kAppleSingleMagic) ||
      (!inHeaderFile && magic == kAppleDoubleMagic)) {
    MacSetError(kMacNotDataFile, name);
    return nullptr;
  }

  if (magic != kAppleSingleMagic && magic != kAppleDoubleMagic) {
    // A plain file: the data from byte 0, typed by the file server.
    uint32_t type = 0, creator = 0;
    GetKAType(name, type, creator);
    storeBE32(&f->finderInfo[0], type);
    storeBE32(&f->finderInfo[4], creator);
    if (!checkType(*f, fileType)) return nullptr;
    if (MacSkipTo(*f, 0) != 0) return nullptr;
    return f;
  }

  f->magic = magic;
  f->version = loadBE32(header + 4);
  std::memcpy(f->homeFileSystem.data(), header + 8, 16);
  f->entryCount = loadBE16(header + 24);
  const int64_t size = streamSize(f->stream.get());
  if (f->version != kMacContainerVersion ||
      std::memcmp(f->homeFileSystem.data(), kHomeFileSystem, 16) != 0 || f->entryCount == 0 ||
      int64_t{kHeaderSize} + int64_t{f->entryCount} * int64_t{kEntrySize} > size) {
    MacSetError(kMacUnknownFile, name);
    return nullptr;
  }

  std::vector<uint8_t> table(size_t{f->entryCount} * kEntrySize);
  if (std::fread(table.data(), 1, table.size(), f->stream.get()) != table.size()) {
    MacSetError(kMacReadError, name);
    return nullptr;
  }
  f->entries.resize(f->entryCount);
  for (size_t i = 0; i < f->entries.size(); ++i) {
    const uint8_t* d = table.data() + i * kEntrySize;
    f->entries[i] = MacEntry{loadBE32(d), loadBE32(d + 4), loadBE32(d + 8)};
  }

  const MacEntry* info = findEntry(*f, kMacEntryFinderInfo);
  if (!info || info->length != kFinderInfoSize || !entryInside(*info, size)) {
    MacSetError(kMacUnknownFile, name);
    return nullptr;
  }
  if (fseeko(f->stream.get(), static_cast<off_t>(info->offset), SEEK_SET) != 0 ||
      std::fread(f->finderInfo.data(), 1, kFinderInfoSize, f->stream.get()) != kFinderInfoSize) {
    MacSetError(kMacReadError, name);
    return nullptr;
  }
  if (!checkType(*f, fileType)) return nullptr;

  if (magic == kAppleDoubleMagic) {
    f->stream.reset();
    std::FILE* s = openStream(name, "rb");
    if (!s) {
      MacSetError(kMacOpenError, name);
      return nullptr;
    }
    f->stream.reset(s);
    f->dataStart = 0;
  } else {
    // The data length is not kept: reading may run on to the end of the
    // container, and a length that claims more than the file holds is read
    // as far as the file goes. Only data starting past the end is refused.
    const MacEntry* data = findEntry(*f, kMacEntryData);
    if (!data) {
      MacSetError(kMacNoData, name);
      return nullptr;
    }
    if (int64_t{data->offset} > size) {
      MacSetError(kMacUnknownFile, name);
      return nullptr;
    }
    f->dataStart = data->offset;
  }
  if (MacSkipTo(*f, 0) != 0) return nullptr;
  return f;
}

// The header and Finder information of a new container, up to the data (282
// bytes for AppleSingle) or to the end of the header file (256 bytes).
std::vector<uint8_t> containerPrologue(const MacFile& f) {
  std::vector<uint8_t> bytes;
  ByteWriter w(bytes);
  w.u32(f.magic);
  w.u32(f.version);
  w.bytes(f.homeFileSystem.data(), 16);
  w.u16(f.entryCount);
  for (const MacEntry& e : f.entries) {
    w.u32(e.id);
    w.u32(e.offset);
    w.u32(e.length);
  }
  w.zeros(kFinderInfoOffset - w.size());
  w.bytes(f.finderInfo.data(), kFinderInfoSize);
  // Without this padding an AppleSingle file with no data would end before
  // its data entry's offset.
  if (f.magic == kAppleSingleMagic) w.zeros(kAppleSingleDataStart - w.size());
  return bytes;
}

std::unique_ptr<MacFile> openForWriting(std::unique_ptr<MacFile> f, uint32_t* fileType) {
  const std::string& name = f->name;
  const uint32_t kind = gCreationKind;
  if (kind != kAppleSingleMagic && kind != kAppleDoubleMagic) {
    std::FILE* s = openOutput(*f, name);
    if (!s) {
      MacSetError(kMacOpenError, name);
      return nullptr;
    }
    f->stream.reset(s);
    if (fileType) {
      storeBE32(&f->finderInfo[0], *fileType);
      storeBE32(&f->finderInfo[4], gCreator);
      SetKAType(name, *fileType, gCreator);
    }
    if (MacSkipTo(*f, 0) != 0) return nullptr;
    return f;
  }

  const bool single = kind == kAppleSingleMagic;
  std::FILE* s = openOutput(*f, single ? name : MacHeaderFileName(name));
  if (!s) {
    MacSetError(kMacOpenError, name);
    return nullptr;
  }
  f->stream.reset(s);
  f->magic = kind;
  f->version = kMacContainerVersion;
  std::memcpy(f->homeFileSystem.data(), kHomeFileSystem, 16);
  f->entries = {{kMacEntryFinderInfo, kFinderInfoOffset, kFinderInfoSize},
                {kMacEntryResource, kResourceOffset, 0}};
  if (single) f->entries.push_back({kMacEntryData, kAppleSingleDataStart, 0});
  f->entryCount = static_cast<uint16_t>(f->entries.size());
  storeBE32(&f->finderInfo[0], fileType ? *fileType : 0);
  storeBE32(&f->finderInfo[4], gCreator);

  const std::vector<uint8_t> prologue = containerPrologue(*f);
  if (std::fwrite(prologue.data(), 1, prologue.size(), s) != prologue.size()) {
    MacSetError(kMacWriteError, name);
    return nullptr;
  }
  if (single) {
    f->dataStart = kAppleSingleDataStart;
  } else {
    // The header file is complete; the data fork is the named file.
    std::FILE* h = f->stream.release();
    if (std::fclose(h) != 0) {
      MacSetError(kMacWriteError, name);
      return nullptr;
    }
    std::FILE* d = openOutput(*f, name);
    if (!d) {
      MacSetError(kMacOpenError, name);
      return nullptr;
    }
    f->stream.reset(d);
    f->dataStart = 0;
  }
  if (MacSkipTo(*f, 0) != 0) return nullptr;
  return f;
}

// The AppleSingle data length is known only at the end: write the data
// descriptor again with it.
bool fixDataLength(MacFile& f) {
  std::FILE* s = f.stream.get();
  if (std::fflush(s) != 0 || fseeko(s, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(s);
  if (end < 0) return false;
  const int64_t length = end > off_t{kAppleSingleDataStart} ? end - kAppleSingleDataStart : 0;
  if (length > int64_t{UINT32_MAX}) return false;  // not representable in the descriptor
  if (length == 0) return true;
  f.entries.back().length = static_cast<uint32_t>(length);
  uint8_t d[kEntrySize];
  storeBE32(d, kMacEntryData);
  storeBE32(d + 4, kAppleSingleDataStart);
  storeBE32(d + 8, static_cast<uint32_t>(length));
  return fseeko(s, kDataDescriptorOffset, SEEK_SET) == 0 &&
         std::fwrite(d, 1, kEntrySize, s) == kEntrySize;
}

}  // namespace

uint32_t MacFile::fileType() const {
  return loadBE32(finderInfo.data());
}
uint32_t MacFile::creator() const {
  return loadBE32(finderInfo.data() + 4);
}

void MacSetCreatType(uint32_t kind) {
  gCreationKind = kind;
}
void MacSetCreator(uint32_t creator) {
  gCreator = creator;
}

std::string MacHeaderFileName(const std::string& name) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) return "%" + name;
  return name.substr(0, slash + 1) + "%" + name.substr(slash + 1);
}

std::unique_ptr<MacFile> MacOpenFile(const std::string& name, std::string_view mode,
                                     uint32_t* fileType) {
  const char m = mode.empty() ? '\0' : mode[0];
  if (m != 'r' && m != 'w') {
    MacSetError(kMacModeError, nullptr);
    return nullptr;
  }
  std::unique_ptr<MacFile> f;
  try {
    f = std::make_unique<MacFile>();
    f->name = name;
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return nullptr;
  }
  f->mode = m;
  // A failure below drops f, which closes whatever was opened; the failing
  // step's error stays pending.
  try {
    return m == 'r' ? openForReading(std::move(f), fileType)
                    : openForWriting(std::move(f), fileType);
  } catch (const std::bad_alloc&) {
    MacSetError(kMacMemoryError, nullptr);
    return nullptr;
  }
}

int MacCloseFile(std::unique_ptr<MacFile>& file) {
  if (!file) {
    MacSetError(kMacNullPointer, "MacCloseFile");
    return -1;
  }
  // Released in every case: a file whose close failed cannot be used again.
  std::unique_ptr<MacFile> f = std::move(file);
  if (f->mode != 'r' && f->mode != 'w') {
    MacSetError(kMacModeError, nullptr);
    return -1;
  }
  int rc = 0;
  if (f->mode == 'w' && f->magic == kAppleSingleMagic && !f->entries.empty() && f->stream &&
      !fixDataLength(*f)) {
    MacSetError(kMacWriteError, f->name);
    rc = -1;
  }
  if (std::FILE* s = f->stream.release()) {
    // Buffered data reaches the file only now: a failure here is lost data.
    if (std::fclose(s) != 0 && f->mode == 'w' && rc == 0) {
      MacSetError(kMacWriteError, f->name);
      rc = -1;
    }
  }
  // Only a complete file takes the place of what stood under its name; f
  // going out of scope removes the new files of a failed one.
  for (auto& pending : f->pending) {
    if (rc == 0 && !pending->publish()) {
      MacSetError(kMacWriteError, f->name);
      rc = -1;
    }
  }
  return rc;
}

}  // namespace kx
