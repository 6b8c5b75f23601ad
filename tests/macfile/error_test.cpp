// The Macintosh error state: messages no other test sees, printing, length.
#include <gtest/gtest.h>

#include <string>

#include "macfile/macfile.h"

namespace kx {
namespace {

TEST(MacErrorState, MessagesAreFormattedFromTheTableAndCutTo79Characters) {
  const std::string longName(300, 'n');
  const struct {
    int code;
    const char* text;
    std::string expected;
  } cases[] = {{0, nullptr, "No Error"},
               {3, "a.pict", "Can't write file a.pict"},
               {4, "ignored", "Can't allocate memory"},
               {12, "a.pict", "a.pict: Bad opcode encountered."},
               {14, "MacCloseFile", "MacCloseFile: Null pointer!"},
               {15, "a.pict", "a.pict: Unimplemented opcode encountered!"},
               {16, "a.pict", "a.pict: Unimplemented Code Required!"},
               {2, "100%s%d.pict", "Can't read file 100%s%d.pict"},  // never a format
               {42, "x", "Unknown error"},
               {2, longName.c_str(), "Can't read file " + std::string(79 - 16, 'n')}};
  for (const auto& c : cases) {
    MacSetError(c.code, c.text);
    EXPECT_EQ(MacError(), c.code);
    EXPECT_EQ(MacGetError(), c.expected);
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

}  // namespace
}  // namespace kx
