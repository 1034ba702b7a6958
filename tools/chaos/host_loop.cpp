#include "host_loop.h"


#include <algorithm>
#include <list>
#include <thread>

#include "protocol/tables.h"
#include "stop_signal.h"

namespace tarnwell::chaos {

namespace {

using namespace std::chrono_literals;

constexpr auto kFrame = std::chrono::microseconds(16'667);
constexpr Millis kSampleInterval = 1000ms;
// How long each window of the first scroll through the folder is shown: long
// enough for its rows to be asked about and answered.
constexpr Millis kSweepStep = 200ms;

}  // namespace

int statusOfEmblem(const dfmext::DFMExtEmblem& emblem) {
    if (emblem.emblems().empty()) {
        return kNoStatus;
    }
    if (emblem.emblems().size() == 1) {
        for (const protocol::Emblem& known : protocol::kEmblems) {
            if (emblem.emblems().front().iconPath() == known.icon) {
                return known.status;
            }
        }
    }
    return kUnknownEmblem;
}

HostLoop::HostLoop(const Tree& tree, HostObserver& observer, std::uint64_t seed, int copy,
                   std::atomic<int>& firstVisibleRow, TimePoint start)
    : tree_(tree),
      observer_(observer),
      firstVisibleRow_(firstVisibleRow),
      start_(start),
      // A stream of its own from the same seed, apart from the daemon's (the
      // first copy's is the one copy's).
      rng_((seed ^ 0x9e3779b97f4a7c15ULL) + static_cast<std::uint64_t>(std::max(copy - 1, 0))) {}

HostLoop::~HostLoop() {
    unload();
}

bool HostLoop::load(const std::string& pluginPath, std::string& error) {
    if (!plugin_.load(pluginPath, error)) {
        return false;
    }
    plugin_.initialize();
    emblemPlugin_ = plugin_.emblemPlugin();
    menuPlugin_ = plugin_.menuPlugin();
    if (emblemPlugin_ == nullptr || menuPlugin_ == nullptr) {
        error = pluginPath + " offers no emblem or no menu plug-in";
        return false;
    }
    plugin_.lendProxy();
    return true;
}

void HostLoop::unload() {
    if (!plugin_.loaded()) {
        return;
    }
    plugin_.shutdown();
    plugin_.unload();
    emblemPlugin_ = nullptr;
    menuPlugin_ = nullptr;
}

template <typename Call>
auto HostLoop::timed(Call call) {
    const TimePoint before = Clock::now();
    auto result = call();
    calls_.add(std::chrono::duration_cast<Micros>(Clock::now() - before));
    return result;
}

void HostLoop::run(TimePoint until) {
    TimePoint now = Clock::now();
    nextMove_ = nextPick_ = nextSample_ = now;
    TimePoint nextFrame = now;
    // Room for every sample of the run at once: the heap in use then grows
    // with what the plug-in keeps, not with the samples.
    samples_.reserve(static_cast<std::size_t>(std::max(0.0, secondsBetween(now, until))) + 16);
    while ((now = Clock::now()) < until && stopSignal() == 0) {
        drawFrame();
        if (now >= nextMove_) {
            sweeping_ ? sweepWindow() : moveWindow();
        }
        if (now >= nextPick_) {
            pickAction();
        }
        observer_.frameDone(Clock::now());
        if (now >= nextSample_) {
            samples_.push_back(sampleResources(secondsBetween(start_, now)));
            nextSample_ = now + kSampleInterval;
        }
        // A frame late is dropped, as a file manager drops frames.
        nextFrame = std::max(nextFrame + kFrame, Clock::now());
        std::this_thread::sleep_until(nextFrame);
    }
}

void HostLoop::drawFrame() {
    const int first = firstVisibleRow_.load();
    const int last = std::min(first + kVisibleRows, static_cast<int>(tree_.rowCount));
    for (int row = first; row < last; ++row) {
        const std::string& path = tree_.paths[static_cast<std::size_t>(row)];
        // A file manager hands over plain paths and URLs alike.
        const std::string asked = row % 4 == 3 ? "file://" + path : path;
        const dfmext::DFMExtEmblem emblem =
            timed([&] { return emblemPlugin_->requestEmblem(asked, 0); });
        observer_.drawn(row, statusOfEmblem(emblem), Clock::now());
    }
}

void HostLoop::sweepWindow() {
    const int lastFirst = std::max(0, static_cast<int>(tree_.rowCount) - kVisibleRows);
    if (!sweepStarted_) {
        firstVisibleRow_ = 0;
        sweepStarted_ = true;
    } else if (firstVisibleRow_.load() < lastFirst) {
        firstVisibleRow_ = std::min(firstVisibleRow_.load() + kVisibleRows, lastFirst);
    } else {
        sweeping_ = false;
        moveWindow();
        return;
    }
    nextMove_ = Clock::now() + kSweepStep;
}

void HostLoop::moveWindow() {
    const int rows = static_cast<int>(tree_.rowCount);
    const int lastFirst = std::max(0, rows - kVisibleRows);
    int first = firstVisibleRow_.load();
    if (std::uniform_int_distribution<int>(0, 1)(rng_) == 0) {
        first += std::uniform_int_distribution<int>(-10, 10)(rng_);
    } else {
        first = std::uniform_int_distribution<int>(0, lastFirst)(rng_);
    }
    firstVisibleRow_ = std::clamp(first, 0, lastFirst);
    nextMove_ = Clock::now() + Millis{std::uniform_int_distribution<int>(300, 3000)(rng_)};
}

void HostLoop::pickAction() {
    nextPick_ = Clock::now() + Millis{std::uniform_int_distribution<int>(1000, 5000)(rng_)};
    const int row = std::min(
        firstVisibleRow_.load() + std::uniform_int_distribution<int>(0, kVisibleRows - 1)(rng_),
        static_cast<int>(tree_.rowCount) - 1);
    const std::string& path = tree_.paths[static_cast<std::size_t>(row)];
    // The previous context menu has closed: its menus and actions are freed.
    plugin_.proxy().clear();
    dfmext::DFMExtMenu* main = plugin_.proxy().createMenu();
    const bool built = timed([&] {
        return menuPlugin_->callBuildNormalMenu(main, tree_.base, path,
                                                std::list<std::string>{path}, false);
    });
    if (!built || main->actions().empty() || main->actions().front()->menu() == nullptr) {
        return;
    }
    const auto& actions = main->actions().front()->menu()->actions();
    if (actions.empty()) {
        return;
    }
    dfmext::DFMExtAction* action =
        actions[std::uniform_int_distribution<std::size_t>(0, actions.size() - 1)(rng_)];
    const protocol::MenuAction* picked = protocol::menuActionWithIcon(action->icon());
    observer_.picked(picked != nullptr ? picked->command : "", path, Clock::now());
    timed([&] { return action->trigger(); });
}

}  // namespace tarnwell::chaos
