// The emblem of a path as every host shows it: the stand-in host's plug-in
// and the file managers' modules take it from here, so that the rule (inside
// a sync root, by the cached status, through the one status-to-icon table)
// has one source.
//
// Thread safety: any thread, the host's drawing thread(s) as a rule. Answers
// from the core's memory at once and never waits for the daemon; a path
// without a status has its query queued, and the core tells the host when the
// answer arrives (TarnwellCore::addEmblemNoticeCallback).
#ifndef TARNWELL_HOST_FACE_EMBLEM_H_
#define TARNWELL_HOST_FACE_EMBLEM_H_

#include <string>

namespace tarnwell {

class TarnwellCore;

// The icon-theme name of the path's emblem; null outside every sync root and
// while its status is unknown (asked for then). `path` may be a plain path or
// a "file://" URI, as canonicalizePath takes it. With `canonicalPath`, the
// path's canonical form, under which the core's notices name it, goes there
// (the path itself for a path still pending, whose text was canonical when it
// was asked). With `lookAhead`, for a host that asks about every file of a
// folder it shows, a path whose query is queued has its folder's other
// entries asked as well (TarnwellCore::lookAheadInFolderOf).
const char* emblemIconFor(TarnwellCore& core, const std::string& path,
                          std::string* canonicalPath = nullptr, bool lookAhead = false);

}  // namespace tarnwell

#endif  // TARNWELL_HOST_FACE_EMBLEM_H_
