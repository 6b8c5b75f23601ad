#include <gtest/gtest.h>

#include <string>

#include "macfile/macfile.h"

namespace kx {
namespace {

TEST(MacErrorState, MessagesAreFormattedFromTheTable) {
  const struct {
    int code;
    const char* text;
    const char* expected;
  } cases[] = {{0, nullptr, "No Error"},
               {1, "a.pict", "Can't open file a.pict"},
               {2, "a.pict", "Can't read file a.pict"},
               {3, "a.pict", "Can't write file a.pict"},
               {4, "ignored", "Can't allocate memory"},
               {5, nullptr, "Unknown mode"},
               {6, "a.pict", "a.pict is not a Macintosh data file"},
               {7, "a.pict", "a.pict is not a known Macintosh file"},
               {8, "a.pict", "a.pict is not the correct Macintosh file type"},
               {9, "a.pict", "a.pict is a Macintosh file with no data!"},
               {10, "a.pict", "a.pict is not a known PICT format!"},
               {11, "a.pict", "a.pict: Bad value encountered."},
               {12, "a.pict", "a.pict: Bad opcode encountered."},
               {13, "a.pict", "a.pict: Wrong opcode for this PICT version."},
               {14, "MacCloseFile", "MacCloseFile: Null pointer!"},
               {15, "a.pict", "a.pict: Unimplemented opcode encountered!"},
               {16, "a.pict", "a.pict: Unimplemented Code Required!"},
               {17, "SetRasterSize", "SetRasterSize: Bad Parameter!"},
               {18, "PictWritePixelScan", "PictWritePixelScan: Bad Function Call!"},
               {2, "100%s%d.pict", "Can't read file 100%s%d.pict"},  // never a format
               {42, "x", "Unknown error"}};
  for (const auto& c : cases) {
    MacSetError(c.code, c.text);
    EXPECT_EQ(MacError(), c.code);
    EXPECT_STREQ(MacGetError(), c.expected);
  }
  MacClearError();
}

TEST(MacErrorState, PrintWritesOneLineAndClearsTheCodeButNotTheMessage) {
  MacSetError(kMacReadError, "face.pict");
  testing::internal::CaptureStderr();
  MacPrintError();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR ====> Can't read file face.pict <==== ERROR\n");
  EXPECT_EQ(MacError(), 0);
  EXPECT_STREQ(MacGetError(), "Can't read file face.pict");
}

TEST(MacErrorState, LongMessageIsCutTo79Characters) {
  MacSetError(kMacReadError, std::string(300, 'n'));
  EXPECT_EQ(std::string(MacGetError()), "Can't read file " + std::string(79 - 16, 'n'));
  MacSetError(kMacModeError, nullptr);
  EXPECT_STREQ(MacGetError(), "Unknown mode");
  MacClearError();
}

}  // namespace
}  // namespace kx
