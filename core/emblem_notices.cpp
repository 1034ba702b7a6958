#include "core/emblem_notices.h"

#include <algorithm>
#include <utility>

namespace tarnwell {

std::uint64_t EmblemNotices::add(EmblemNoticeCallback callback) {
    if (!callback) {
        return 0;
    }
    MutexLock lock(callbacksMutex_);
    auto list = callbacks_ ? std::make_shared<List>(*callbacks_) : std::make_shared<List>();
    const std::uint64_t id = nextId_++;
    list->push_back({id, std::move(callback)});
    callbacks_ = std::move(list);
    return id;
}

void EmblemNotices::remove(std::uint64_t id) {
    MutexLock lock(callbacksMutex_);
    if (!callbacks_) {
        return;
    }
    auto list = std::make_shared<List>(*callbacks_);
    std::erase_if(*list, [id](const Entry& entry) { return entry.id == id; });
    callbacks_ = list->empty() ? nullptr : std::shared_ptr<const List>(std::move(list));
}

void EmblemNotices::notify(const EmblemNotice& notice) const {
    std::shared_ptr<const List> list;
    {
        MutexLock lock(callbacksMutex_);
        list = callbacks_;
    }
    if (!list) {
        return;
    }
    for (const Entry& entry : *list) {
        entry.callback(notice);
    }
}

bool EmblemNotices::anyListener() const {
    MutexLock lock(callbacksMutex_);
    return callbacks_ != nullptr;
}

void EmblemNotices::notifyPath(const std::string& canonicalPath) const {
    if (!anyListener()) {
        return;  // no copy of the path for nobody
    }
    EmblemNotice notice;
    notice.paths.push_back(canonicalPath);
    notify(notice);
}

void EmblemNotices::notifyEverything() const {
    EmblemNotice notice;
    notice.everything = true;
    notify(notice);
}

}  // namespace tarnwell
