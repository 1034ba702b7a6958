// The demo's picture and the icons it draws from, against the real plug-in
// loaded with dlopen and the reference daemon on the plug-in's fixed ports:
// the picture must show each entry with exactly the emblem the host was
// handed, and every icon name the plug-in hands out must exist in the theme
// the build lays out, as SVG and at every PNG size.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dfmext/menu.h"
#include "dfmext_host/host_session.h"
#include "support/plugin_harness.h"
#include "support/test_support.h"

namespace dfmext_host {
namespace {

namespace test = tarnwell::test;
namespace fs = std::filesystem;

std::vector<std::string> takeLines(std::ostringstream& stream) {
    std::vector<std::string> lines;
    std::istringstream in(stream.str());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    stream.str("");
    return lines;
}

std::string xmlUnescape(const std::string& text) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    std::string out = text;
    for (const auto& [entity, plain] : kEntities) {
        for (std::size_t at = out.find(entity); at != std::string::npos;
             at = out.find(entity, at + 1)) {
            out.replace(at, std::string(entity).size(), plain);
        }
    }
    return out;
}

// A name in Latin-1, which is no UTF-8: XML cannot carry its byte 0xE9, so
// the picture shows U+FFFD in its place.
const std::string kLatin1Name = "caf\xE9.txt";
const std::string kLatin1Shown = "caf\xEF\xBF\xBD.txt";

// A sync folder with an entry in each state, and some whose names XML
// cannot carry as they are (quotes, markup characters, bytes that are no
// UTF-8), and places outside it; the plug-in loaded and connected to the
// daemon, driven through a host session as dfmext-host drives it.
class DemoPictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::canonical(temp_.dir("Sync")).string();
        expected_ = {{"notes.txt", test::iconFor(0)},
                     {"report.txt", test::iconFor(1)},
                     {"budget.xlsx", test::iconFor(2)},
                     {"contract.pdf", test::iconFor(3)},
                     {"Q&A \"<draft>\".txt", test::iconFor(1)},
                     {kLatin1Name, test::iconFor(2)},
                     {"Photos", test::iconFor(0)}};
        std::vector<std::string> args;
        for (const auto& [name, icon] : expected_) {
            if (name == "Photos") {
                temp_.dir("Sync/" + name);
            } else {
                temp_.file("Sync/" + name);
            }
            for (int status = 1; status < 4; ++status) {
                if (icon == test::iconFor(status)) {
                    args.insert(args.end(),
                                {"--status", root_ + "/" + name + "=" + std::to_string(status)});
                }
            }
        }
        ASSERT_TRUE(daemon_.startOnPort(test::kDaemonPort, {root_}, test::kNotifyPort, args));
        ASSERT_TRUE(plugin_.ok()) << plugin_.error();
        plugin_.initialize();
        plugin_.menuPlugin()->callInitialize(&proxy_);
        session_.emplace(plugin_.emblemPlugin(), plugin_.menuPlugin(), &proxy_, out_, err_);
        // Every entry has its emblem once the daemon has answered for all.
        ASSERT_EQ(run("ls '" + root_ + "' --wait 20000").size(), expected_.size());
    }

    void TearDown() override {
        session_.reset();
        plugin_.shutdown();
        // The actions hold callables of the plug-in: freed before it unloads.
        proxy_.clear();
        plugin_.unload();
        daemon_.stop();
    }

    std::vector<std::string> run(const std::string& command) {
        EXPECT_EQ(session_->execute(command), HostSession::Outcome::Ok)
            << command << ": " << err_.str();
        return takeLines(out_);
    }

    test::TempDir temp_;
    std::string root_;
    std::map<std::string, std::string> expected_;  // entry name -> emblem icon
    test::DaemonSim daemon_;
    test::LoadedPlugin plugin_;
    dfmext::DFMExtMenuProxy proxy_;
    std::ostringstream out_;
    std::ostringstream err_;
    std::optional<HostSession> session_;
};

TEST_F(DemoPictureTest, PictureShowsEachEntryWithExactlyTheEmblemTheHostReturned) {
    const std::string svgPath = temp_.path() + "/picture.svg";
    EXPECT_EQ(run("picture '" + root_ + "' '" + svgPath + "' --icons " TARNWELL_ICON_THEME_DIR),
              std::vector<std::string>{"picture " + svgPath});
    EXPECT_EQ(err_.str(), "") << "every emblem's icon is in the built theme";

    std::ifstream in(svgPath);
    const std::string svg{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::regex entryTag(
        R"re(<g class="entry" data-name="([^"]*)" data-emblems="([^"]*)">)re");
    std::map<std::string, std::string> pictured;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), entryTag);
         it != std::sregex_iterator(); ++it) {
        std::string name = xmlUnescape((*it)[1]);
        if (name == kLatin1Shown) {
            name = kLatin1Name;
        }
        EXPECT_TRUE(pictured.emplace(name, xmlUnescape((*it)[2])).second)
            << "entry drawn twice: " << name;
    }

    // What the host is handed now, entry by entry.
    std::map<std::string, std::string> handed;
    for (const auto& [name, icon] : expected_) {
        const std::string path = root_ + "/" + name;
        const std::vector<std::string> lines = run("emblem '" + path + "'");
        ASSERT_EQ(lines.size(), 1u);
        // The icon comes last; the path is printed escaped (the Latin-1 name).
        const std::string answer = lines[0].substr(lines[0].rfind(' ') + 1);
        handed[name] = answer == "-" ? "" : answer;
    }
    EXPECT_EQ(pictured, handed);
    EXPECT_EQ(pictured, expected_);
    // Each emblem is an embedded icon, never the placeholder of a missing one.
    EXPECT_EQ(svg.find("missing"), std::string::npos);

    // A name that is not escaped, or an icon embedded badly, makes the
    // renderer reject the whole picture.
    test::ChildProcess renderer;
    ASSERT_TRUE(renderer.start({TARNWELL_RSVG_CONVERT, "--output", svgPath + ".png", svgPath}));
    EXPECT_EQ(renderer.wait(), 0);
}

// The file's width and height from its PNG header, or {0, 0} if it is no PNG.
std::pair<unsigned, unsigned> pngSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    static const unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!in || !std::equal(std::begin(kSignature), std::end(kSignature), header)) {
        return {0, 0};
    }
    const auto word = [&](int at) {
        return unsigned(header[at]) << 24 | unsigned(header[at + 1]) << 16 |
               unsigned(header[at + 2]) << 8 | unsigned(header[at + 3]);
    };
    return {word(16), word(20)};
}

TEST_F(DemoPictureTest, EveryIconThePluginHandsOutIsInTheBuiltThemeAtEverySize) {
    std::set<std::string> icons;
    for (const auto& [name, icon] : expected_) {
        icons.insert(icon);
    }
    // A menu in each place the plug-in tells apart.
    const std::string places[] = {root_, root_ + "/notes.txt", root_ + "/Photos",
                                  temp_.file("outside.txt"), temp_.dir("Elsewhere")};
    const std::regex actionLine(R"(^ *\d+\. .* \[(.*)\]$)");
    for (const std::string& place : places) {
        const std::vector<std::string> lines = run("menu '" + place + "'");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "menu true") << place;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(lines[i], match, actionLine)) << lines[i];
            icons.insert(match[1]);
        }
    }

    const fs::path theme = TARNWELL_ICON_THEME_DIR;
    for (const std::string& icon : icons) {
        std::vector<fs::path> svgs;
        for (const fs::directory_entry& context : fs::directory_iterator(theme / "scalable")) {
            if (fs::exists(context.path() / (icon + ".svg"))) {
                svgs.push_back(context.path() / (icon + ".svg"));
            }
        }
        ASSERT_EQ(svgs.size(), 1u) << icon << " must have exactly one scalable SVG";
        const fs::path context = svgs[0].parent_path().filename();
        for (const unsigned size : {16u, 24u, 32u, 48u}) {
            const std::string folder = std::to_string(size) + "x" + std::to_string(size);
            const fs::path png = theme / folder / context / (icon + ".png");
            EXPECT_EQ(pngSize(png.string()), std::make_pair(size, size)) << png;
        }
    }
}

// The picture of an open context menu shows the menu the plug-in built, as
// the menu command lists it: the same actions, texts and icons, in the same
// order and nesting, each icon embedded from the theme.
TEST_F(DemoPictureTest, MenuPictureShowsEveryActionThePluginBuiltWithItsIcon) {
    const std::string file = root_ + "/notes.txt";
    std::vector<std::string> listed;
    const std::regex numbered(R"(^( *)\d+\. (.*)$)");
    for (const std::string& line : run("menu '" + file + "'")) {
        std::smatch match;
        if (std::regex_match(line, match, numbered)) {
            listed.push_back(match[1].str() + match[2].str());
        }
    }
    ASSERT_EQ(listed.size(), 4u) << "the entry and the three actions for a file below a root";

    const std::string svgPath = temp_.path() + "/menu.svg";
    EXPECT_EQ(run("picture '" + root_ + "' '" + svgPath +
                  "' --icons " TARNWELL_ICON_THEME_DIR " --menu notes.txt"),
              std::vector<std::string>{"picture " + svgPath});
    EXPECT_EQ(err_.str(), "") << "every action's icon is in the built theme";
    std::ifstream in(svgPath);
    const std::string svg{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::regex actionTag(
        R"re(<g class="menu-action" data-depth="(\d+)" data-text="([^"]*)" data-icon="([^"]*)">)re");
    std::vector<std::string> pictured;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), actionTag);
         it != std::sregex_iterator(); ++it) {
        pictured.push_back(std::string(2 * std::stoul((*it)[1]), ' ') + xmlUnescape((*it)[2]) +
                           " [" + xmlUnescape((*it)[3]) + "]");
    }
    EXPECT_EQ(pictured, listed);
    EXPECT_EQ(svg.find("missing"), std::string::npos);

    test::ChildProcess renderer;
    ASSERT_TRUE(renderer.start({TARNWELL_RSVG_CONVERT, "--output", svgPath + ".png", svgPath}));
    EXPECT_EQ(renderer.wait(), 0);
}

}  // namespace
}  // namespace dfmext_host
