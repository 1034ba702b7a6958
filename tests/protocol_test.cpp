// The tables of the daemon's language against what uses them: the icon
// files, the reference daemon and the message catalogues.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "channel/daemon_connect.h"
#include "channel/exchange.h"
#include "protocol/tables.h"
#include "support/test_support.h"

namespace tarnwell {
namespace {

// The contrast test walks every file of the icon folder: an icon named in a
// table but missing there would be drawn as nothing, and checked by nobody.
TEST(ProtocolTablesTest, EveryIconTheTablesNameIsAnIconOfThePlugin) {
    const std::filesystem::path icons = TARNWELL_ICON_SOURCE_DIR;
    for (const char* name : protocol::allIconNames()) {
        bool found = false;
        for (const char* kind : {"emblems", "actions", "apps"}) {
            found = found || std::filesystem::is_regular_file(icons / kind / (std::string(name) + ".svg"));
        }
        EXPECT_TRUE(found) << name;
    }
}

// A menu command the reference daemon refuses would fail every demo and test
// of that action with an "err" nobody expects.
TEST(ProtocolTablesTest, TheDaemonSimAcknowledgesEveryMenuCommand) {
    test::TempDir temp;
    const std::string root = temp.dir("Sync");
    test::DaemonSim daemon;
    ASSERT_TRUE(daemon.start({root}, test::freeUdpPort()));
    DaemonSocket socket = connectToDaemon(protocol::kLoopbackAddress, daemon.port(),
                                          std::chrono::steady_clock::now() + test::kDeadline);
    ASSERT_EQ(socket.outcome, DaemonSocket::Outcome::Connected);
    const auto ask = [&](const std::string& name) {
        const ArgumentMap args{{protocol::kPathKey, {root}}};
        ArgumentMap answer;
        return exchange(socket.fd.get(), name, &args, answer, LineReader::Mode::TakeExactly,
                        std::chrono::steady_clock::now() + test::kDeadline);
    };
    for (const protocol::MenuAction& action : protocol::kMenuActions) {
        EXPECT_EQ(ask(action.command), ExchangeOutcome::Ok) << action.command;
    }
    EXPECT_EQ(ask("frobnicate"), ExchangeOutcome::Refused);
    daemon.stop();
}

// The template is extracted from the sources that mark their texts: a text
// left unmarked would never be translated, and the catalogue check, which
// compares the catalogues with the template, would not see it.
TEST(ProtocolTablesTest, TheMessageTemplateHoldsEveryMenuText) {
    std::ifstream file(TARNWELL_POT_FILE);
    ASSERT_TRUE(file) << TARNWELL_POT_FILE;
    std::stringstream pot;
    pot << file.rdbuf();
    for (const protocol::MenuAction& action : protocol::kMenuActions) {
        EXPECT_NE(pot.str().find("\nmsgid \"" + std::string(action.text) + "\"\n"),
                  std::string::npos)
            << action.text;
    }
}

}  // namespace
}  // namespace tarnwell
