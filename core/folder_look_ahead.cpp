#include "core/folder_look_ahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <utility>

namespace tarnwell {

void FolderLookAhead::start() {
    MutexLock lock(mutex_);
    running_ = true;
    stopping_ = false;
}

void FolderLookAhead::stop() {
    std::thread thread;
    {
        MutexLock lock(mutex_);
        if (!running_) {
            return;
        }
        running_ = false;
        queue_.clear();
        thread = std::move(thread_);
    }
    stopping_ = true;
    wake_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
    forgetListed();
}

bool FolderLookAhead::listedLately(std::string_view folder, Clock::time_point now) const {
    for (const Listed& listed : recent_) {
        if (listed.folder == folder && now - listed.at < kRelistAfter) {
            return true;
        }
    }
    return false;
}

void FolderLookAhead::post(std::string_view canonicalPath) {
    const std::size_t slash = canonicalPath.rfind('/');
    if (slash == std::string_view::npos) {
        return;
    }
    // "/a" lies in "/"; the entries' paths are then "/" + name.
    const std::string_view folder = canonicalPath.substr(0, slash == 0 ? 1 : slash);
    const auto now = Clock::now();
    {
        MutexLock lock(mutex_);
        if (!running_ || listedLately(folder, now)) {
            return;
        }
        if (!thread_.joinable()) {
            // Started at the first folder posted: a host that never posts
            // (one that asks only about what it shows) runs no such thread.
            thread_ = std::thread([this] { run(); });
        }
        recent_[nextRecent_] = Listed{std::string(folder), now};
        nextRecent_ = (nextRecent_ + 1) % kRecent;
        queue_.emplace_back(folder);
        if (queue_.size() > kQueued) {
            queue_.pop_front();
        }
    }
    wake_.notify_one();
}

void FolderLookAhead::forgetListed() {
    MutexLock lock(mutex_);
    recent_ = {};
}

void FolderLookAhead::run() {
    MutexLock lock(mutex_);
    while (true) {
        lock.wait(wake_, [&] {
            mutex_.assertHeld();  // the wait runs its predicate with the lock held
            return !running_ || !queue_.empty();
        });
        if (!running_) {
            return;
        }
        const std::string folder = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        list(folder);
        lock.lock();
    }
}

namespace {

// Whether an entry is a file or folder whose canonical path is its folder's
// plus its name: a link's is its target's, which the host asks under that.
bool plainEntry(int dirFd, const dirent& entry) {
    if (entry.d_type == DT_REG || entry.d_type == DT_DIR) {
        return true;
    }
    if (entry.d_type != DT_UNKNOWN) {
        return false;
    }
    struct stat st {};
    return fstatat(dirFd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}

}  // namespace

void FolderLookAhead::list(const std::string& folder) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return;
    }
    const std::string prefix = folder == "/" ? folder : folder + "/";
    std::vector<std::string> batch;
    batch.reserve(kBatch);
    std::size_t read = 0;
    // The stream is this listing's own, so readdir's shared state is not shared.
    while (const dirent* entry = ::readdir(dir.get())) {  // NOLINT(concurrency-mt-unsafe)
        if (++read > kMaxEntries) {
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0 ||
            !plainEntry(dirfd(dir.get()), *entry)) {
            continue;
        }
        batch.push_back(prefix + entry->d_name);
        if (batch.size() == kBatch) {
            if (stopping_ || !ask_(folder, batch)) {
                return;
            }
            batch.clear();
        }
    }
    if (!batch.empty() && !stopping_) {
        ask_(folder, batch);
    }
}

}  // namespace tarnwell
