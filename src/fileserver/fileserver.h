// File-server Finder information: the ancillary file ".HSancillary" in which a
// Unix file server keeps the type, creator and Finder flags of every file of
// a shared directory, and the resource-fork directory ".HSResource".
//
// Failures of system calls are reported on stderr in perror() style
// (".HSancillary", "writeai", "resfilename") and returned as -1 (or an empty
// path). Records are read and written at explicit offsets, so no seek can
// fail.
//
// Stands on: common (byte helpers).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

// From now on the lookups (GetKAType, GetKAInfo) only read: a missing
// ancillary file means no record, and none is created. The tools that only
// read Macintosh files turn it on; kxreduce keeps the lookups that create it.
void kx_ancillaryLookupsOnlyRead(bool on);

// Type and creator of fileName's record: 0, with both set to 0 when there is
// no record; -1 when the ancillary file cannot be opened or locked (both 0).
// Like every operation here it creates an empty ancillary file when missing.
int GetKAType(const std::string& fileName, uint32_t& fileType, uint32_t& creator);
// Creates fileName's record if needed; stores the type and the creator when
// non-zero. 0, or -1 when the ancillary file cannot be opened or the record
// could not be written.
int SetKAType(const std::string& fileName, uint32_t fileType, uint32_t creator);
// Copies the record's 32 bytes of Finder information into finderInfo (all
// zero when there is no record). 0, or -1.
int GetKAInfo(const std::string& fileName, uint8_t* finderInfo);
// Replaces the record's Finder information with the 32 bytes given (null:
// nothing to do, 0). 0 written, 1 writing failed, -1 no ancillary file.
int SetKAInfo(const std::string& fileName, const uint8_t* finderInfo);
// Path of fileName's resource fork: <dir>/.HSResource/<last component>. The
// resource directory is created (mode 0755) when missing. Empty when memory
// runs out.
std::string resfilename(const std::string& fileName);

// The Macintosh name of a Unix file name component: ":" + two upper-case hex
// digits stands for one byte; at most 32 characters, ending at a 0 byte.
std::string DecodeKAName(std::string_view unixName);
// The 8.3 upper-case short name of a Macintosh long name (at most 12 chars).
std::string MakeKAShortName(std::string_view longName);

}  // namespace kx
