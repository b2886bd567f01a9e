// Lines made on one thread and used on another: the bounded hand-over, and the line feed that
// reads a recording ahead through it.
#include "base/handover.hpp"

#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exception.hpp"
#include "files/byte_source.hpp"
#include "input_text.hpp"
#include "recording/line_feed.hpp"
#include "replay_fixture.hpp"

namespace vela {
namespace {
TEST(HandoverTest, AStopReleasesAMakerWaitingForAFreeItem) {
  handover<int> items(2);
  std::promise<void> both_taken;
  std::future<int*> third = std::async(std::launch::async, [&] {
    items.hand_over(items.take_free(), false);
    items.hand_over(items.take_free(), false);
    both_taken.set_value();
    return items.take_free();  // waits: both items are in flight
  });
  both_taken.get_future().wait();
  items.stop();
  EXPECT_EQ(third.get(), nullptr);
  EXPECT_NE(items.take_filled(), nullptr) << "what was handed over is still there";
}

// A source that fails after some lines: the lines before the failure reach the replay, then the
// failure, on a thread of its own or inline alike.
TEST(HandoverTest, AFailureComesAfterTheLinesReadBeforeIt) {
  site loaded;
  test::load_site({"", test::trackables({{"P1", "PERSON"}, {"V1", "VEHICLE"}})}, loaded);
  std::string content;
  for (int k = 0; k < 20000; ++k) {
    content += test::at(k % 2 == 0 ? "P1" : "V1", 100 + k, 0, k, 0);
  }
  const std::size_t fail_at = content.size() - 10;  // inside the last line
  for (const bool threaded : {true, false}) {
    SCOPED_TRACE(threaded ? "threaded" : "inline");
    memory_source failing(content, 1000, fail_at);
    line_feed feed(failing, 1 << 12, loaded, threaded);
    std::size_t lines = 0;
    EXPECT_THROW(
        while (const line_batch* batch = feed.next()) { lines += batch->lines.size(); },
        vela::exception);
    EXPECT_EQ(lines, 19999U);
  }
}
}  // namespace
}  // namespace vela
