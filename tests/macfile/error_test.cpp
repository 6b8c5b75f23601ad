#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "macfile/macfile.h"

namespace kx {
namespace {

struct MessageCase {
  int code;
  const char* text;
  const char* expected;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << "code " << c.code;
}

class MacMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(MacMessage, IsFormattedFromTheTable) {
  const MessageCase& c = GetParam();
  MacSetError(c.code, c.text);
  EXPECT_EQ(MacError(), c.code);
  EXPECT_STREQ(MacGetError(), c.expected);
  MacClearError();
}

INSTANTIATE_TEST_SUITE_P(
    AllCodes, MacMessage,
    testing::Values(MessageCase{0, nullptr, "No Error"},
                    MessageCase{1, "a.pict", "Can't open file a.pict"},
                    MessageCase{2, "a.pict", "Can't read file a.pict"},
                    MessageCase{3, "a.pict", "Can't write file a.pict"},
                    MessageCase{4, nullptr, "Can't allocate memory"},
                    MessageCase{5, nullptr, "Unknown mode"},
                    MessageCase{6, "a.pict", "a.pict is not a Macintosh data file"},
                    MessageCase{7, "a.pict", "a.pict is not a known Macintosh file"},
                    MessageCase{8, "a.pict", "a.pict is not the correct Macintosh file type"},
                    MessageCase{9, "a.pict", "a.pict is a Macintosh file with no data!"},
                    MessageCase{10, "a.pict", "a.pict is not a known PICT format!"},
                    MessageCase{11, "a.pict", "a.pict: Bad value encountered."},
                    MessageCase{12, "a.pict", "a.pict: Bad opcode encountered."},
                    MessageCase{13, "a.pict", "a.pict: Wrong opcode for this PICT version."},
                    MessageCase{14, "MacCloseFile", "MacCloseFile: Null pointer!"},
                    MessageCase{15, "a.pict", "a.pict: Unimplemented opcode encountered!"},
                    MessageCase{16, "a.pict", "a.pict: Unimplemented Code Required!"},
                    MessageCase{17, "SetRasterSize", "SetRasterSize: Bad Parameter!"},
                    MessageCase{18, "PictWritePixelScan", "PictWritePixelScan: Bad Function Call!"},
                    // Formats without "%s" ignore the text.
                    MessageCase{4, "ignored", "Can't allocate memory"},
                    // The text is never interpreted as a format.
                    MessageCase{2, "100%s%d.pict", "Can't read file 100%s%d.pict"}),
    [](const testing::TestParamInfo<MessageCase>& i) {
      return "Code" + std::to_string(i.param.code) + "_" + std::to_string(i.index);
    });

TEST(MacErrorState, PrintWritesOneLineAndClearsTheCodeButNotTheMessage) {
  MacSetError(kMacReadError, "face.pict");
  EXPECT_EQ(MacError(), 2);
  testing::internal::CaptureStderr();
  MacPrintError();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR ====> Can't read file face.pict <==== ERROR\n");
  EXPECT_EQ(MacError(), 0);
  EXPECT_STREQ(MacGetError(), "Can't read file face.pict");
}

TEST(MacErrorState, PrintAfterClearPrintsTheOldMessageAgain) {
  MacSetError(kMacOpenError, "x");
  MacClearError();
  EXPECT_EQ(MacError(), 0);
  testing::internal::CaptureStderr();
  MacPrintError();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR ====> Can't open file x <==== ERROR\n");
}

TEST(MacErrorState, LaterErrorReplacesEarlierOne) {
  MacSetError(kMacOpenError, "first");
  MacSetError(kMacWrongType, "second");
  EXPECT_EQ(MacError(), 8);
  EXPECT_STREQ(MacGetError(), "second is not the correct Macintosh file type");
  MacClearError();
}

TEST(MacErrorState, LongMessageIsCutTo79Characters) {
  const std::string name(300, 'n');
  MacSetError(kMacNotDataFile, name);
  const std::string message = MacGetError();
  EXPECT_EQ(message.size(), kMacMessageSize - 1);
  EXPECT_EQ(message, std::string(79, 'n'));
  MacSetError(kMacReadError, name);
  EXPECT_EQ(std::string(MacGetError()), "Can't read file " + std::string(79 - 16, 'n'));
  // A short message after a long one leaves nothing of the long one behind.
  MacSetError(kMacModeError, nullptr);
  EXPECT_STREQ(MacGetError(), "Unknown mode");
  MacClearError();
}

TEST(MacErrorState, MessageOfExactly79CharactersIsKeptWhole) {
  const std::string name(79 - 16, 'x');  // "Can't read file " is 16 characters
  MacSetError(kMacReadError, name);
  EXPECT_EQ(std::string(MacGetError()), "Can't read file " + name);
  MacClearError();
}

TEST(MacErrorState, CodeOutsideTheTableIsKeptWithAGenericMessage) {
  MacSetError(42, "x");
  EXPECT_EQ(MacError(), 42);
  EXPECT_STREQ(MacGetError(), "Unknown error");
  MacSetError(-1, "x");
  EXPECT_STREQ(MacGetError(), "Unknown error");
  MacClearError();
}

}  // namespace
}  // namespace kx
