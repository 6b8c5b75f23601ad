// Messages held per thread and replayed in order: what lets frames worked on
// side by side still report in frame order.
#include <gtest/gtest.h>

#include "common/messages.h"

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

}  // namespace
}  // namespace kx
