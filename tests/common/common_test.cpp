// Messages held per thread and replayed in order: what lets frames worked on
// side by side still report in frame order.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "common/messages.h"
#include "common/outfile.h"
#include "support/case_names.h"
#include "support/tempdir.h"

namespace kx {
namespace {

TEST(Messages, HeldInOrderAndReplayedIntoTheOuterBuffer) {
  MessageBuffer outer;
  {
    MessageBuffer inner;
    kx_note("a");
    kx_print(Stream::Out, "b");
    kx_printf(Stream::Err, "%d%s", 1, std::string(600, 'x').c_str());  // longer than the fast path
    EXPECT_EQ(inner.text(Stream::Err), "a1" + std::string(600, 'x'));
    EXPECT_EQ(inner.text(Stream::Out), "b");
    EXPECT_TRUE(outer.empty());
    inner.replay();
    EXPECT_TRUE(inner.empty());
  }
  const HeldMessages held = outer.take();
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0], (std::pair<Stream, std::string>{Stream::Err, "a"}));
  EXPECT_EQ(held[1].first, Stream::Out);
  EXPECT_EQ(held[2].second, "1" + std::string(600, 'x'));
}

// An output is put in place only when complete; where outputs do not
// replace files, a file that took the free name meanwhile stays.
struct Appearing {
  const char* name;
  bool replace;  // kx_replaceOutputs
  bool batched;  // published through an OutputBatch
};

const Appearing kAppearing[] = {
    {"kept", false, false},
    {"kept_in_a_batch", false, true},
    {"replaced", true, false},
    {"replaced_in_a_batch", true, true},
};

class FileThatAppears : public testing::TestWithParam<Appearing> {};

TEST_P(FileThatAppears, IsKeptOrReplacedAsTheToolSays) {
  const Appearing& c = GetParam();
  TempDir dir;
  const std::string path = dir.path("out.png");
  kx_replaceOutputs(c.replace);
  std::string failed;
  bool placed = false;
  {
    OutputBatch batch;
    if (!c.batched) batch.detach();
    // In a batch, a file before it whose name stays free: all or none.
    std::unique_ptr<OutFile> first = OutFile::create(dir.path("out.icn"));
    ASSERT_TRUE(first && first->commit());
    std::unique_ptr<OutFile> out = OutFile::create(path);
    ASSERT_TRUE(out);
    out->text("new");
    writeFileBytes(path, {'m', 'i', 'n', 'e'});
    placed = out->commit() && (!c.batched || batch.commit(&failed));
    EXPECT_TRUE(placed || errno == EEXIST) << errno;
  }
  kx_replaceOutputs(true);
  EXPECT_EQ(placed, c.replace);
  EXPECT_EQ(readFileText(path), c.replace ? "new" : "mine");
  EXPECT_EQ(failed, c.batched && !c.replace ? path : "");
  EXPECT_EQ(std::filesystem::exists(dir.path("out.icn")), !c.batched || c.replace);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}),
            1 + std::filesystem::exists(dir.path("out.icn")));
}

INSTANTIATE_TEST_SUITE_P(Outputs, FileThatAppears, testing::ValuesIn(kAppearing), CaseName());

}  // namespace
}  // namespace kx
