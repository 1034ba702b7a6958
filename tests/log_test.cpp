// One event is one line: text from the host or the daemon must not be able to
// end a diagnostic line early and forge the next one.

#include <gtest/gtest.h>

#include "base/log.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

TEST(LogLine, LineBreaksInsideTheTextCannotForgeALine) {
    test::StderrCapture log;
    logLine("tarnwell: sync root: /a\ntarnwell: daemon disconnected, clearing cache\r");
    logLine("tarnwell: plain");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "tarnwell: sync root: /a\\ntarnwell: daemon disconnected, clearing cache\\r",
                  "tarnwell: plain"}));
}

}  // namespace
}  // namespace tarnwell
