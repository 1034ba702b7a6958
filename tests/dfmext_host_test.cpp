// dfmext-host's command interpreter against plug-in objects made here, and
// the program itself where loading and signals are what is tested.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dfmext/emblem.h"
#include "dfmext/menu.h"
#include "dfmext_host/host_session.h"
#include "picture/folder_picture.h"
#include "support/plugin_harness.h"
#include "support/test_support.h"

namespace dfmext_host {
namespace {

namespace test = tarnwell::test;
using Outcome = HostSession::Outcome;
using Layout = dfmext::DFMExtEmblemIconLayout;

std::vector<std::string> linesOf(const std::ostringstream& stream) {
    std::vector<std::string> lines;
    std::istringstream in(stream.str());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Emblems by path; a path listed in `lateAfter` gets its emblem only from
// that many requests on, as when the daemon's answer arrives later.
class FakeEmblems : public dfmext::DFMExtEmblemIconPlugin {
public:
    FakeEmblems() {
        registerLocationEmblemIcons([this](const std::string& path, int count) {
            ++requests;
            lastCount = count;
            dfmext::DFMExtEmblem emblem;
            const auto late = lateAfter.find(path);
            if (late != lateAfter.end() && requests < late->second) {
                return emblem;
            }
            const auto found = icons.find(path);
            if (found != icons.end()) {
                std::vector<Layout> layouts;
                for (const std::string& icon : found->second) {
                    layouts.emplace_back(Layout::LocationType::BottomLeft, icon);
                }
                emblem.setEmblem(layouts);
            }
            return emblem;
        });
    }

    std::map<std::string, std::vector<std::string>> icons;
    std::map<std::string, int> lateAfter;
    int requests = 0;
    int lastCount = -100;
};

// "Top" with a sub-menu {"A", "B" with a sub-menu {"B1"}}, then "Plain";
// every action but "Top" and "B" records its pick in `picked`.
class FakeMenus : public dfmext::DFMExtMenuPlugin {
public:
    FakeMenus() {
        registerInitialize([this](dfmext::DFMExtMenuProxy* p) { proxy = p; });
        registerBuildNormalMenu([this](dfmext::DFMExtMenu* main, const std::string& current,
                                       const std::string& focus, const std::list<std::string>& list,
                                       bool) {
            lastCurrent = current;
            lastFocus = focus;
            lastList = list;
            if (cyclic) {
                dfmext::DFMExtAction* loop = proxy->createAction();
                loop->setText("Loop");
                loop->setMenu(main);
                main->addAction(loop);
                return true;
            }
            dfmext::DFMExtMenu* sub = proxy->createMenu();
            dfmext::DFMExtMenu* subSub = proxy->createMenu();
            sub->addAction(action("A", "icon-a"));
            dfmext::DFMExtAction* b = action("B", "icon-b", false);
            b->setMenu(subSub);
            sub->addAction(b);
            subSub->addAction(action("B1", "icon-b1"));
            dfmext::DFMExtAction* top = action("Top", "icon-top", false);
            top->setMenu(sub);
            main->addAction(top);
            main->addAction(action("Plain", ""));
            return true;
        });
        registerBuildEmptyAreaMenu(
            [](dfmext::DFMExtMenu*, const std::string&, bool) { return false; });
    }

    dfmext::DFMExtAction* action(const std::string& text, const std::string& icon,
                                 bool triggered = true) {
        dfmext::DFMExtAction* a = proxy->createAction();
        a->setText(text);
        a->setIcon(icon);
        if (triggered) {
            a->registerTriggered(
                [this, text](dfmext::DFMExtAction*, bool) { picked.push_back(text); });
        }
        return a;
    }

    dfmext::DFMExtMenuProxy* proxy = nullptr;
    std::vector<std::string> picked;
    std::string lastCurrent;
    std::string lastFocus;
    std::list<std::string> lastList;
    bool cyclic = false;
};

class HostSessionTest : public ::testing::Test {
protected:
    HostSessionTest() : session_(&emblems_, &menus_, &proxy_, out_, err_) {
        static_cast<const dfmext::DFMExtMenuPlugin&>(menus_).callInitialize(&proxy_);
    }

    // Runs the lines; the outcomes in order.
    std::vector<Outcome> run(const std::vector<std::string>& lines) {
        std::vector<Outcome> outcomes;
        for (const std::string& line : lines) {
            outcomes.push_back(session_.execute(line));
        }
        return outcomes;
    }

    FakeEmblems emblems_;
    FakeMenus menus_;
    dfmext::DFMExtMenuProxy proxy_;
    std::ostringstream out_;
    std::ostringstream err_;
    HostSession session_;
};

// The picture and tarnwell-doctor must agree on where an icon is: one that
// lies in the user's own data folder is drawn, and a relative entry of
// XDG_DATA_DIRS, invalid by the XDG rules, is searched by neither.
TEST(FolderPictureTest, IconsAreSearchedWhereTheDoctorSearchesThem) {
    test::TempDir temp;
    const std::string dataHome = temp.dir("data");
    temp.dir("data/icons/hicolor/scalable/emblems");
    temp.file("data/icons/hicolor/scalable/emblems/emblem-mine.svg", "<svg/>");
    const std::string relative = temp.dir("relative");
    temp.dir("relative/icons/hicolor/scalable/emblems");
    temp.file("relative/icons/hicolor/scalable/emblems/emblem-relative.svg", "<svg/>");
    std::filesystem::current_path(temp.path());
    // Each test runs in a process of its own: nothing else reads these.
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    ::setenv("XDG_DATA_DIRS", "relative", 1);        // NOLINT(concurrency-mt-unsafe)

    const std::vector<std::string> themes = defaultIconThemeDirs();
    EXPECT_EQ(findScalableIcon(themes, "emblem-mine"),
              dataHome + "/icons/hicolor/scalable/emblems/emblem-mine.svg");
    EXPECT_EQ(findScalableIcon(themes, "emblem-relative"), "");
}

TEST_F(HostSessionTest, MenuIsPrintedDepthFirstWithNumbersRestartingPerSubMenu) {
    ASSERT_EQ(session_.execute("menu /home/u/Sync/a.txt"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_),
              (std::vector<std::string>{"menu true", "1. Top [icon-top]", "  1. A [icon-a]",
                                        "  2. B [icon-b]", "    1. B1 [icon-b1]", "2. Plain []"}));
    EXPECT_EQ(menus_.lastCurrent, "/home/u/Sync");
    EXPECT_EQ(menus_.lastFocus, "/home/u/Sync/a.txt");
    EXPECT_EQ(menus_.lastList, std::list<std::string>{"/home/u/Sync/a.txt"});
}

TEST_F(HostSessionTest, SelectedCountBuildsThatManyPaths) {
    ASSERT_EQ(session_.execute("menu /a/b --selected 3"), Outcome::Ok);
    EXPECT_EQ(menus_.lastList, (std::list<std::string>{"/a/b", "/a/b", "/a/b"}));
    ASSERT_EQ(session_.execute("menu /a/b --selected 0"), Outcome::Ok);
    EXPECT_TRUE(menus_.lastList.empty());
}

TEST_F(HostSessionTest, DottedAndPlainIndicesPickTheSameActions) {
    ASSERT_EQ(session_.execute("menu /x"), Outcome::Ok);
    out_.str("");
    // Depth first: 1 Top, 2 A, 3 B, 4 B1, 5 Plain.
    EXPECT_EQ(run({"trigger 1.1", "trigger 2", "trigger 1.2.1", "trigger 4", "trigger 2.0",
                   "trigger 6", "trigger 5", "trigger 2"}),
              (std::vector<Outcome>{Outcome::Ok, Outcome::Ok, Outcome::Ok, Outcome::Ok,
                                    Outcome::Failed, Outcome::Failed, Outcome::Ok, Outcome::Ok}));
    EXPECT_EQ(menus_.picked, (std::vector<std::string>{"A", "A", "B1", "B1", "Plain", "A"}));
    EXPECT_EQ(linesOf(out_),
              (std::vector<std::string>{"triggered 1.1 A", "triggered 2 A", "triggered 1.2.1 B1",
                                        "triggered 4 B1", "triggered 5 Plain", "triggered 2 A"}));
}

TEST_F(HostSessionTest, BadTriggersFailWithOneErrorLineAndTheSessionGoesOn) {
    EXPECT_EQ(session_.execute("trigger 1"), Outcome::Failed);  // no menu yet
    ASSERT_EQ(session_.execute("menu /x"), Outcome::Ok);
    out_.str("");
    const std::vector<std::string> bad = {"trigger 7",    "trigger 0", "trigger 3.1", "trigger 1.9",
                                          "trigger 1..1", "trigger x", "trigger 1.",  "trigger -1",
                                          "trigger",      "trigger 1", "trigger 1.2"};
    for (const std::string& line : bad) {
        EXPECT_EQ(session_.execute(line), Outcome::Failed) << line;
    }
    EXPECT_EQ(linesOf(err_).size(), bad.size() + 1);
    for (const std::string& line : linesOf(err_)) {
        EXPECT_EQ(line.rfind("error: ", 0), 0u) << line;
    }
    EXPECT_TRUE(out_.str().empty());
    EXPECT_TRUE(menus_.picked.empty());
    EXPECT_EQ(session_.execute("trigger 1.1"), Outcome::Ok);
}

TEST_F(HostSessionTest, MenuThatContainsItselfIsPrintedOnce) {
    menus_.cyclic = true;
    ASSERT_EQ(session_.execute("menu /x"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_), (std::vector<std::string>{"menu true", "1. Loop []"}));
    EXPECT_EQ(session_.execute("trigger 2"), Outcome::Failed);
}

TEST_F(HostSessionTest, EachBuildFreesThePreviousMenu) {
    ASSERT_EQ(session_.execute("menu /x"), Outcome::Ok);
    const std::size_t actions = proxy_.actionCount();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(session_.execute("menu /x"), Outcome::Ok);
    }
    EXPECT_EQ(proxy_.actionCount(), actions);
    ASSERT_EQ(session_.execute("empty-menu /x"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_).back(), "menu false");
    EXPECT_EQ(session_.execute("trigger 1"), Outcome::Failed);
}

TEST_F(HostSessionTest, EmblemPrintsEveryLayoutOrADash) {
    emblems_.icons["/s/a"] = {"emblem-one"};
    emblems_.icons["/s/two words"] = {"x", "y"};
    EXPECT_EQ(run({"emblem /s/a", "emblem /s/none 3", "emblem '/s/two words' -5"}),
              (std::vector<Outcome>(3, Outcome::Ok)));
    EXPECT_EQ(linesOf(out_), (std::vector<std::string>{"emblem /s/a emblem-one", "emblem /s/none -",
                                                       "emblem /s/two words x,y"}));
    EXPECT_EQ(emblems_.lastCount, -5);
}

TEST_F(HostSessionTest, EmblemWaitAsksAgainUntilTheEmblemAppears) {
    emblems_.icons["/s/a"] = {"late"};
    emblems_.lateAfter["/s/a"] = 4;
    ASSERT_EQ(session_.execute("emblem /s/a --wait 20000"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_), std::vector<std::string>{"emblem /s/a late"});
    EXPECT_EQ(emblems_.requests, 4);
}

TEST_F(HostSessionTest, EmblemWaitGivesUpAfterItsTime) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(session_.execute("emblem /s/never 0 --wait 120"), Outcome::Ok);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_EQ(linesOf(out_), std::vector<std::string>{"emblem /s/never -"});
    EXPECT_GE(emblems_.requests, 2);
}

TEST_F(HostSessionTest, LsListsEntriesSortedByNameWithTheirEmblems) {
    test::TempDir dir;
    dir.file("b.txt");
    dir.file("a.txt");
    dir.dir("C");
    emblems_.icons[dir.path() + "/a.txt"] = {"emblem-a"};
    emblems_.icons[dir.path() + "/C"] = {"emblem-c"};
    ASSERT_EQ(session_.execute("ls " + dir.path() + "/"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_), (std::vector<std::string>{"emblem-c C", "emblem-a a.txt", "- b.txt"}));
    EXPECT_EQ(session_.execute("ls " + dir.path() + "/missing"), Outcome::Failed);
}

TEST_F(HostSessionTest, LsWaitAsksAgainUntilEveryEntryHasAnEmblem) {
    test::TempDir dir;
    dir.file("a");
    dir.file("b");
    emblems_.icons[dir.path() + "/a"] = {"ea"};
    emblems_.icons[dir.path() + "/b"] = {"eb"};
    emblems_.lateAfter[dir.path() + "/b"] = 5;
    ASSERT_EQ(session_.execute("ls " + dir.path() + " --wait 20000"), Outcome::Ok);
    EXPECT_EQ(linesOf(out_), (std::vector<std::string>{"ea a", "eb b"}));
}

TEST_F(HostSessionTest, BadInputIsRejectedWithoutCallingThePlugin) {
    const std::vector<std::string> bad = {
        "frobnicate",
        "emblem",
        "emblem /a x",
        "emblem /a 99999999999",
        "emblem /a 1 2",
        "emblem /a --wait",
        "emblem /a --wait -1",
        "emblem /a --bogus",
        "menu /a --wait x",
        "ls",
        "ls /a --wait x",
        "menu",
        "menu /a --selected",
        "menu /a --selected -1",
        "menu /a --selected 1000000000",
        "empty-menu",
        "sleep",
        "sleep -5",
        "sleep 1x",
        "emblem '/a",
        "emblem /a\\",
        "quit now",
    };
    for (const std::string& line : bad) {
        EXPECT_EQ(session_.execute(line), Outcome::Failed) << line;
    }
    EXPECT_EQ(linesOf(err_).size(), bad.size());
    EXPECT_EQ(emblems_.requests, 0);
    EXPECT_TRUE(menus_.lastFocus.empty());
    EXPECT_TRUE(out_.str().empty());
    EXPECT_EQ(run({"", "  # a note", "quit"}),
              (std::vector<Outcome>{Outcome::Ok, Outcome::Ok, Outcome::Quit}));
}

TEST(HostSessionWithoutProvidersTest, CommandsNeedingAMissingProviderFail) {
    std::ostringstream out;
    std::ostringstream err;
    HostSession session(nullptr, nullptr, nullptr, out, err);
    for (const char* line : {"emblem /a", "ls /", "menu /a", "empty-menu /", "trigger 1"}) {
        EXPECT_EQ(session.execute(line), Outcome::Failed) << line;
    }
    EXPECT_EQ(session.execute("sleep 0"), Outcome::Ok);
}

TEST(HostSessionInterruptTest, SignalEndsAWaitEarly) {
    std::ostringstream out;
    std::ostringstream err;
    bool interrupted = false;
    FakeEmblems emblems;
    HostSession session(&emblems, nullptr, nullptr, out, err, [&] {
        const bool was = interrupted;
        interrupted = emblems.requests >= 2;
        return was;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session.execute("emblem /a --wait 600000"), Outcome::Ok);
    EXPECT_EQ(session.execute("sleep 600000"), Outcome::Ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(out.str(), "emblem /a -\n");
}

TEST(SplitWordsTest, QuotesAndEscapesKeepBlanks) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(splitWords("  a\tb  "), (Words{"a", "b"}));
    EXPECT_EQ(splitWords("emblem '/x y/z' \"q \\\"r\\\"\" s\\ t"),
              (Words{"emblem", "/x y/z", "q \"r\"", "s t"}));
    EXPECT_EQ(splitWords("a''b \"\""), (Words{"ab", ""}));
    EXPECT_FALSE(splitWords("'open"));
    EXPECT_FALSE(splitWords("\"open"));
    EXPECT_FALSE(splitWords("end\\"));
}

// ---------------------------------------------------------------------------
// The program. The real plug-in binds the fixed ports, hence FIXED_PORTS.

TEST(DfmextHostProgramTest, UnloadablePluginIsAClearErrorWithStatusOne) {
    test::ChildProcess host;
    ASSERT_TRUE(
        host.start({DFMEXT_HOST_PATH, "--plugin", "/nonexistent/plugin.so", "-e", "help"}, true));
    EXPECT_EQ(host.wait(), 1);
    ASSERT_FALSE(host.stderrLines().empty());
    EXPECT_NE(host.stderrLines().front().find("/nonexistent/plugin.so"), std::string::npos);
    EXPECT_TRUE(host.allStdout().empty());
}

TEST(DfmextHostProgramTest, LibraryWithoutEntryPointsIsNamedInTheError) {
    // The host library itself loads fine but has none of the entry points.
    test::ChildProcess host;
    const std::string library = std::string(TARNWELL_PLUGIN_PATH);
    const std::string hostLibrary =
        library.substr(0, library.rfind('/')) + "/libdfm-extension.so.1";
    ASSERT_TRUE(host.start({DFMEXT_HOST_PATH, "--plugin", hostLibrary, "-e", "help"}, true));
    EXPECT_EQ(host.wait(), 1);
    ASSERT_EQ(host.stderrLines().size(), 1u);
    EXPECT_NE(host.stderrLines().front().find("dfm_extension_initialize"), std::string::npos);
}

TEST(DfmextHostProgramTest, FailedCommandGivesStatusOneAndLaterCommandsStillRun) {
    test::ChildProcess host;
    ASSERT_TRUE(host.start({DFMEXT_HOST_PATH, "-e", "bogus", "-e", "empty-menu /"}, true));
    EXPECT_EQ(host.wait(), 1);
    EXPECT_EQ(host.allStdout(), std::vector<std::string>{"menu false"});
    EXPECT_EQ(host.stderrLines().back(), "tarnwell: plugin shut down");
}

TEST(DfmextHostProgramTest, SigtermEndsAWaitingHostWithAShutdown) {
    test::ChildProcess host;
    ASSERT_TRUE(host.start({DFMEXT_HOST_PATH}, true));
    ASSERT_TRUE(host.writeStdin("empty-menu /\n"));
    ASSERT_TRUE(host.waitForLine([](const std::string& l) { return l == "menu false"; }));
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(), 0);
    EXPECT_TRUE(test::waitUntil([&] {
        const auto lines = host.stderrLines();
        return !lines.empty() && lines.back() == "tarnwell: plugin shut down";
    }));
}

TEST(DfmextHostProgramTest, EndOfInputShutsThePluginDown) {
    test::ChildProcess host;
    ASSERT_TRUE(host.start({DFMEXT_HOST_PATH}, true));
    ASSERT_TRUE(host.writeStdin("empty-menu /\nempty-menu /"));
    host.closeStdin();
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.allStdout(), (std::vector<std::string>{"menu false", "menu false"}));
}

// Started with stdin closed, the plug-in's first descriptor took number 0 and
// the host read its "input" from it for ever.
TEST(DfmextHostProgramTest, ClosedStandardInputIsAnEmptyInputNotAHang) {
    test::ChildProcess host;
    ASSERT_TRUE(host.start({"/bin/sh", "-c", "exec \"$0\" <&-", DFMEXT_HOST_PATH}, true));
    EXPECT_EQ(host.wait(), 0);
}

// `| head -1` killed the host with SIGPIPE: no word of the lost output, and
// the plug-in never shut down. SIGHUP (the terminal closed) killed it too.
TEST(DfmextHostProgramTest, ReaderGoneAndHangupEndTheHostCleanly) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    test::ChildProcess unread;
    ASSERT_TRUE(unread.start({"/bin/bash", "-c", "exec \"$0\" -e 'echo lost' >&\"$1\"",
                              DFMEXT_HOST_PATH, std::to_string(ends[1])},
                             true));
    ::close(ends[1]);
    EXPECT_EQ(unread.wait(), 1);
    const std::vector<std::string> errors = unread.stderrLines();
    EXPECT_NE(std::find(errors.begin(), errors.end(),
                        "dfmext-host: error: cannot write to stdout: Broken pipe"),
              errors.end());
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "tarnwell: plugin shut down");

    test::ChildProcess hungUp;
    ASSERT_TRUE(hungUp.start({DFMEXT_HOST_PATH}, true));
    ASSERT_TRUE(hungUp.writeStdin("echo ready\n"));
    ASSERT_TRUE(hungUp.waitForLineContaining("ready"));
    hungUp.signal(SIGHUP);
    EXPECT_EQ(hungUp.wait(), 0);
    EXPECT_TRUE(test::waitUntil([&] {
        const auto lines = hungUp.stderrLines();
        return !lines.empty() && lines.back() == "tarnwell: plugin shut down";
    }));
}

// The picture was written in place: a signal during its wait left a
// half-filled OUT.svg, a failed write gave no reason, and a line feed in a
// name read as a blank in data-name.
TEST(DfmextHostProgramTest, PictureIsWrittenWholeOrNotAtAll) {
    test::TempDir temp;
    const std::string dir = temp.dir("shown");
    temp.file("shown/nl\nname");
    const std::string out = temp.file("out/picture.svg", "old");
    const auto picture = [&](const std::string& target, const std::string& more = "") {
        auto host = std::make_unique<test::ChildProcess>();
        EXPECT_TRUE(host->start({DFMEXT_HOST_PATH, "-e", "echo ready", "-e",
                                 "picture '" + dir + "' '" + target + "'" + more},
                                true));
        EXPECT_TRUE(host->waitForLineContaining("ready"));
        return host;
    };
    const auto hasError = [](test::ChildProcess& host, const std::string& line) {
        const std::vector<std::string> errors = host.stderrLines();
        return std::find(errors.begin(), errors.end(), line) != errors.end();
    };

    auto interrupted = picture(out, " --wait 600000");
    interrupted->signal(SIGINT);
    EXPECT_EQ(interrupted->wait(), 1);
    std::ifstream kept(out);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "old");

    auto drawn = picture(out);
    EXPECT_EQ(drawn->wait(), 0);
    std::ifstream in(out);
    const std::string svg{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(svg.find("data-name=\"nl&#10;name\""), std::string::npos);
    // Nothing is left beside it: the temporary file became the picture.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path() + "/out"), {}), 1);

    auto full = picture("/dev/full");
    EXPECT_EQ(full->wait(), 1);
    EXPECT_TRUE(hasError(*full, "error: cannot write /dev/full: No space left on device"));
    auto folder = picture(dir);
    EXPECT_EQ(folder->wait(), 1);
    EXPECT_TRUE(hasError(*folder, "error: cannot write " + dir + ": Is a directory"));
}

// One example of docs/dfmext-host.md: a "$ dfmext-host ..." line (with its
// continuation lines), the lines typed at "dfmext> " and the output shown.
struct DocExample {
    std::string command;
    std::string input;
    std::vector<std::string> output;
};

std::vector<DocExample> docExamples(const std::string& file) {
    std::vector<DocExample> examples;
    std::ifstream in(file);
    bool inBlock = false;
    bool collecting = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock;
            collecting = false;
        } else if (inBlock && line.rfind("$ ", 0) == 0) {
            std::string command = line.substr(2);
            while (!command.empty() && command.back() == '\\' && std::getline(in, line)) {
                command.back() = ' ';
                command += line;
            }
            collecting = command.rfind("dfmext-host", 0) == 0;
            if (collecting) {
                examples.push_back({command, "", {}});
            }
        } else if (collecting && line.rfind("dfmext> ", 0) == 0) {
            examples.back().input += line.substr(8) + "\n";
        } else if (collecting) {
            examples.back().output.push_back(line);
        }
    }
    return examples;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A newcomer copies the examples: each must work as written against a
// running daemon, from the host's cold start ("menu" used to come too early
// and print "menu false", and the "trigger" after it failed).
TEST(DfmextHostProgramTest, EveryExampleInTheDocsWorksAsWrittenFromAColdStart) {
    test::TempDir temp;
    const std::string sync = temp.dir("Sync");
    temp.file("Sync/report.odt");
    const std::string work = temp.dir("work");
    test::DaemonSim daemon;
    ASSERT_TRUE(daemon.startOnPort(19080, {sync}, 19081, {"--no-stdin"}));

    const std::vector<DocExample> examples = docExamples(TARNWELL_DOCS_DIR "/dfmext-host.md");
    ASSERT_GE(examples.size(), 5u);
    for (const DocExample& example : examples) {
        const std::string command = replaceAll(replaceAll(example.command, "/home/u/Sync", sync),
                                               "dfmext-host", DFMEXT_HOST_PATH);
        test::ChildProcess host;
        ASSERT_TRUE(host.start({"/bin/sh", "-c", "cd \"$0\" && exec " + command, work}, true));
        host.writeStdin(replaceAll(example.input, "/home/u/Sync", sync));
        host.closeStdin();
        EXPECT_EQ(host.wait(), 0) << example.command;
        std::vector<std::string> expected;
        for (const std::string& line : example.output) {
            expected.push_back(replaceAll(line, "/home/u/Sync", sync));
        }
        EXPECT_EQ(host.allStdout(), expected) << example.command;
    }
    daemon.stop();
}

// The locale decides only what the menu shows: in the C locale the texts are
// the plug-in's own, whatever LANGUAGE asks for; in a German session they are
// German. The daemon receives the same command either way, and the log line
// keeps the untranslated text.
TEST(DfmextHostProgramTest, MenuShowsInTheUsersLanguageAndSendsTheSameCommand) {
    test::TempDir temp;
    const std::string root = std::filesystem::canonical(temp.dir("Sync")).string();
    temp.file("Sync/notes.txt");
    const std::string file = root + "/notes.txt";
    test::DaemonSim daemon;
    ASSERT_TRUE(daemon.startOnPort(test::kDaemonPort, {root}, test::kNotifyPort,
                                   {"--status", file + "=0"}));

    const auto menuIn = [&](const std::string& lang, const std::vector<std::string>& texts) {
        SCOPED_TRACE("LANG=" + lang);
        test::ChildProcess host;
        ASSERT_TRUE(
            host.start({"/usr/bin/env", "LC_ALL=", "LC_MESSAGES=", "LANG=" + lang, "LANGUAGE=de",
                        DFMEXT_HOST_PATH, "-e", "emblem '" + file + "' --wait 20000", "-e",
                        "menu '" + file + "'", "-e", "trigger 1.2"},
                       true));
        EXPECT_EQ(host.wait(), 0);
        EXPECT_EQ(host.allStdout(),
                  (std::vector<std::string>{
                      "emblem " + file + " " + test::iconFor(0), "menu true",
                      "1. Tarnwell [tarnwell-small]", "  1. " + texts[0] + " [tarnwell-email]",
                      "  2. " + texts[1] + " [tarnwell-link]",
                      "  3. " + texts[2] + " [tarnwell-history]", "triggered 1.2 " + texts[1]}));
        const std::vector<std::string> log = host.stderrLines();
        EXPECT_NE(
            std::find(log.begin(), log.end(),
                      "tarnwell: menu triggered: Get Share Link command=publish_obj path=" + file),
            log.end());
        EXPECT_EQ(daemon.waitForRequest("request publish_obj"), "request publish_obj path=" + file);
    };
    menuIn("C", {"Send by Email", "Get Share Link", "Browse File History"});
    menuIn("C.UTF-8", {"Per E-Mail senden", "Freigabelink abrufen", "Versionsverlauf anzeigen"});
}

// The host library takes UTF-8 whatever the session's charset: in a Latin-1
// German session the plug-in's texts must still arrive as UTF-8, not as the
// catalogue converted to the locale's bytes ("ü" as 0xfc).
TEST(DfmextHostProgramTest, MenuTextsReachTheHostAsUtf8InALatin1Locale) {
    test::TempDir temp;
    const std::string locales = temp.dir("locales");
    test::ChildProcess localedef;
    ASSERT_TRUE(localedef.start(
        {"/usr/bin/localedef", "-i", "de_DE", "-f", "ISO-8859-1", locales + "/de_DE.ISO-8859-1"}));
    EXPECT_EQ(localedef.wait(), 0);
    const std::string root = std::filesystem::canonical(temp.dir("Sync")).string();
    const std::string outside = std::filesystem::canonical(temp.dir("Elsewhere")).string();
    test::DaemonSim daemon;
    ASSERT_TRUE(daemon.startOnPort(test::kDaemonPort, {root}, test::kNotifyPort));

    test::ChildProcess host;
    ASSERT_TRUE(host.start({"/usr/bin/env", "LOCPATH=" + locales, "LC_ALL=", "LC_MESSAGES=",
                            "LANGUAGE=", "LANG=de_DE.ISO-8859-1", DFMEXT_HOST_PATH, "-e",
                            "emblem '" + root + "' --wait 20000", "-e", "menu '" + outside + "'"},
                           true));
    EXPECT_EQ(host.wait(), 0);
    const std::vector<std::string> out = host.allStdout();
    EXPECT_NE(std::find(out.begin(), out.end(),
                        "  1. Nur f\xc3\xbcr mich synchronisieren [tarnwell-package]"),
              out.end())
        << (out.size() > 2 ? out[2] : "");
    daemon.stop();
}

}  // namespace
}  // namespace dfmext_host
