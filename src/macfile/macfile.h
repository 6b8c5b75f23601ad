// Macintosh file access: the one Macintosh error state, the Macintosh
// containers of a Unix file system (AppleSingle, AppleDouble, plain files
// typed by the file server's ancillary file) and the big-endian primitives
// that everything read or written through them goes through.
//
// Calling style: operations return null / -1 and record the reason in the
// error state (one per thread: the process's, when it has one thread);
// callers test MacError() and print the message with MacPrintError() or
// take it from MacGetError().
//
// Typical reader:
//   uint32_t type = 0;                      // 0: any type, receives the type
//   auto f = kx::MacOpenFile(name, "r", &type);
//   if (!f) { kx::MacPrintError(); ... }
//   uint16_t w = kx::MacReadShort(*f);      // big-endian, count += 2
//   if (kx::MacError()) ...
//   kx::MacCloseFile(f);                    // f is null afterwards
//
// Stands on: common (byte helpers) and fileserver (the types of plain files).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/outfile.h"

namespace kx {

// ---- Error state -------------------------------------------------------------

// Codes of the Macintosh error state; the message table has one entry each.
enum : int {
  kMacNoError = 0,          // "No Error"
  kMacOpenError = 1,        // "Can't open file %s"
  kMacReadError = 2,        // "Can't read file %s"
  kMacWriteError = 3,       // "Can't write file %s"
  kMacMemoryError = 4,      // "Can't allocate memory"
  kMacModeError = 5,        // "Unknown mode"
  kMacNotDataFile = 6,      // "%s is not a Macintosh data file"
  kMacUnknownFile = 7,      // "%s is not a known Macintosh file"
  kMacWrongType = 8,        // "%s is not the correct Macintosh file type"
  kMacNoData = 9,           // "%s is a Macintosh file with no data!"
  kMacUnknownPict = 10,     // "%s is not a known PICT format!"
  kMacBadValue = 11,        // "%s: Bad value encountered."
  kMacBadOpcode = 12,       // "%s: Bad opcode encountered."
  kMacWrongOpcode = 13,     // "%s: Wrong opcode for this PICT version."
  kMacNullPointer = 14,     // "%s: Null pointer!"
  kMacUnimplOpcode = 15,    // "%s: Unimplemented opcode encountered!"
  kMacUnimplCode = 16,      // "%s: Unimplemented Code Required!"
  kMacBadParameter = 17,    // "%s: Bad Parameter!"
  kMacBadFunctionCall = 18  // "%s: Bad Function Call!"
};

// The message buffer holds 79 characters and the terminator; longer messages
// (long file names) are cut to 79 characters.
constexpr size_t kMacMessageSize = 80;

// Formats the code's message with text as its "%s" (text may be null for the
// messages without one) and makes the error pending. A code outside 0..18 is
// kept as the pending code with the message "Unknown error".
void MacSetError(int code, const char* text);
inline void MacSetError(int code, const std::string& text) {
  MacSetError(code, text.c_str());
}
// The line the Macintosh layer reports an error with, without its line end:
// "ERROR ====> " + message + " <==== ERROR".
std::string MacErrorLine(const std::string& message);
// Writes MacErrorLine(message) and a line end to stderr and clears the
// code; the message stays in the buffer (and is printed even with no error).
void MacPrintError();
void MacClearError();  // code to 0, message kept
int MacError();        // pending code, 0 when none
// The current message; valid until the next MacSetError.
const char* MacGetError();

// ---- Containers ----------------------------------------------------------------

constexpr uint32_t kAppleSingleMagic = 0x00051600;
constexpr uint32_t kAppleDoubleMagic = 0x00051607;
constexpr uint32_t kMacContainerVersion = 0x00010000;
constexpr uint32_t kMacPlainKind = 0;  // any value other than the two magics

// Entry ids of the container descriptors.
constexpr uint32_t kMacEntryData = 1;
constexpr uint32_t kMacEntryResource = 2;
constexpr uint32_t kMacEntryFinderInfo = 9;

// Four-character codes are held as the big-endian number of their characters.
constexpr uint32_t MacFourCC(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
         (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

struct MacEntry {
  uint32_t id = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct MacStreamCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// An open Macintosh file, owned by its caller from MacOpenFile to
// MacCloseFile (or until the unique_ptr lets go of it, which closes the
// stream without finishing the container; a file being written is then
// removed, and whatever stood under its names before stays as it was).
struct MacFile {
  // The new files of a file opened for writing (AppleDouble: header file,
  // then data file), under temporary names until MacCloseFile succeeds.
  // Declared before the stream so that the stream is closed first.
  std::vector<std::unique_ptr<PendingFile>> pending;
  // The open container (for AppleDouble: the data file once opened).
  std::unique_ptr<std::FILE, MacStreamCloser> stream;
  uint32_t magic = 0;  // kAppleSingleMagic, kAppleDoubleMagic or 0 (plain)
  uint32_t version = 0;
  std::array<char, 16> homeFileSystem{};
  uint16_t entryCount = 0;
  std::vector<MacEntry> entries;         // none for a plain file
  std::array<uint8_t, 32> finderInfo{};  // type at 0, creator at 4
  int32_t ioCount = 0;                   // bytes moved since reset/absolute seek
  uint32_t dataStart = 0;                // container offset of the data fork
  char mode = 0;                         // 'r' or 'w'
  std::string name;                      // as given to MacOpenFile, for messages

  uint32_t fileType() const;
  uint32_t creator() const;
};

// Creation kind of later openings for writing: kAppleSingleMagic,
// kAppleDoubleMagic, or anything else for a plain file with an ancillary
// record. Starts plain.
void MacSetCreatType(uint32_t kind);
// Creator code written into later new files; starts as 'ONFC'.
void MacSetCreator(uint32_t creator);

// Opens name for reading ("r...") or writing ("w..."), positioned at the first
// data byte with the I/O count at 0; null with the error state set otherwise.
// Reading: *fileType 0 accepts any file and receives its type; non-zero is
// required of the file (fileType may be null: any type). Writing: *fileType is
// recorded; for a plain file a null fileType writes no ancillary record.
std::unique_ptr<MacFile> MacOpenFile(const std::string& name, std::string_view mode,
                                     uint32_t* fileType);
// Finishes the container (the AppleSingle data length), closes and frees the
// file: 0, or -1 with the error state set (null file: error 14; a write that
// did not reach the disk: error 3). The file is released in every case and
// `file` is null afterwards.
int MacCloseFile(std::unique_ptr<MacFile>& file);

// The AppleDouble header file of name: "%" + last path component, in name's
// directory.
std::string MacHeaderFileName(const std::string& name);

// ---- Big-endian primitives -----------------------------------------------------
//
// Block, write and seek primitives return 0 or -1. Failures set error 2 (file
// open for reading) or 3 (open for writing) with the file name. The I/O count
// rules: blocks, writes and MacSkip add their length on success only; the
// number reads add their size also on failure; MacSkipTo sets it to 0.

int MacRead(MacFile& f, void* buffer, size_t length);
int MacReadNumbers(MacFile& f, void* buffer, size_t length);  // bytes kept big-endian
uint32_t MacReadLong(MacFile& f);
uint16_t MacReadShort(MacFile& f);
uint8_t MacReadByte(MacFile& f);
int MacWrite(MacFile& f, const void* buffer, size_t length);
int MacWriteNumbers(MacFile& f, const void* buffer, size_t length);  // bytes as given
int MacWriteLong(MacFile& f, uint32_t value);
int MacWriteShort(MacFile& f, uint32_t value);  // low 16 bits
int MacWriteByte(MacFile& f, uint32_t value);   // low 8 bits
// n bytes forward; n <= 0 does nothing and succeeds.
int MacSkip(MacFile& f, int32_t n);
// To data start + position (beyond the end is allowed when writing).
int MacSkipTo(MacFile& f, int64_t position);
// Bytes from the read position to the end of the file, when the file is a
// regular file; -1 when its size is unknown (a pipe, a device).
int64_t MacBytesLeft(MacFile& f);
void MacResetIOCount(MacFile& f);
int32_t MacGetIOCount(const MacFile& f);

}  // namespace kx
