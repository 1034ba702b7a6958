#include <sys/stat.h>

#include <filesystem>
#include <string_view>

#include "canonical/canonicalize_path.h"
#include "checks.h"
#include "protocol/messages.h"
#include "protocol/tables.h"

namespace tarnwell::doctor {

namespace {

// A relative path means what it means in the user's shell: the plug-in only
// ever sees absolute ones, and would take it as standing at "/". A URL the
// file manager could hand the plug-in ("file:///a/b") is read as the plug-in
// reads it.
std::string absolutePath(const std::string& path) {
    const std::string_view local = stripUrlPrefix(path);
    if (local.size() != path.size() || path[0] == '/') {
        return std::string(local);
    }
    std::error_code ignored;
    return (std::filesystem::current_path(ignored) / path).string();
}

// The root as the daemon listed it, for the root `root` (canonical) it holds.
std::string listedForm(const DaemonFindings& daemon, const std::string& root) {
    for (std::size_t i = 0; i < daemon.roots.size() && i < daemon.listedRoots.size(); ++i) {
        if (daemon.roots[i] == root) {
            return daemon.listedRoots[i];
        }
    }
    return root;
}

// Why the daemon gave no status (null) or one without an emblem for
// `canonical`, a path in `root`.
void explainNoStatus(const std::string& canonical, const std::string& root,
                     const std::string& listed, const std::string* given, Check& check) {
    const std::string where = canonical + " in sync root " + root + "; the daemon gives ";
    const std::string what =
        given == nullptr ? "no status" : "the status \"" + *given + "\", which has no emblem";
    if (listed != root) {
        check.found = where + what + ", and it lists this root as " + listed +
                      " while the plug-in asks in the form " + canonical +
                      ": a daemon that knows only the listed form does not recognise the path";
        check.fix = "set the sync folder in the Tarnwell client as " + root +
                    ", its real path, so that both name it alike";
        return;
    }
    check.found = where + what;
    check.fix =
        "the Tarnwell client does not know this file yet: wait for it to sync, or "
        "restart the client";
}

// The daemon's status for a path inside sync root `root`, and the emblem it
// gives, into `check`.
void explainStatus(const std::string& canonical, const std::string& root, const std::string& listed,
                   DaemonConnection& connection, const IconThemeFolders& folders,
                   const Deadline& deadline, Check& check) {
    // Read-only: the same question the plug-in asks for every file it draws.
    ArgumentMap args{{protocol::kPathKey, {canonical}}};
    ArgumentMap response;
    AskFailure failure;
    if (!connection.ask(protocol::kQueryStat, &args, deadline, "the doctor's two seconds", response,
                        failure)) {
        check.found =
            canonical + " in sync root " + root + "; no status from the daemon: " + failure.text;
        check.fix = "restart the Tarnwell client";
        return;
    }
    // Read by the plug-in's own code, so that the emblem named is the one
    // the file manager would draw.
    const std::string* stat = protocol::firstValue(response, protocol::kStatKey);
    check.detail("status", stat != nullptr ? *stat : "");
    const protocol::SyncStatus status = protocol::statusInReply(response);
    const char* emblem = protocol::emblemIconName(status);
    if (emblem == nullptr) {
        explainNoStatus(canonical, root, listed, stat, check);
        return;
    }
    check.detail("emblem", emblem);
    const bool iconFound = !folders.find(emblem).empty();
    check.detailFlag("icon_found", iconFound);
    check.found = canonical + " in sync root " + root + ", status " +
                  std::to_string(static_cast<int>(status)) + ", emblem " + emblem +
                  (iconFound ? "" : ", but that icon is not installed");
    if (!iconFound) {
        check.fix = "install the Tarnwell file-manager plug-in package, which brings the icons";
        return;
    }
    check.verdict = Verdict::Passed;
}

}  // namespace

void checkPath(const std::string& path, const DaemonFindings& daemon, DaemonConnection& connection,
               const IconThemeFolders& folders, const Deadline& deadline, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "path";
    check.title = "path " + path;
    const std::string absolute = absolutePath(path);
    const std::string canonical = canonicalizePath(absolute);
    check.detail("path", path).detail("canonical", canonical);
    check.verdict = Verdict::Failed;
    struct stat info {};
    if (::lstat(absolute.c_str(), &info) != 0) {
        check.found = absolute + " does not exist, so the file manager shows nothing there";
        check.fix = "check the path: give a file or folder that exists";
        return;
    }
    if (!daemon.answered) {
        check.found = "canonical form " + canonical +
                      "; its sync folder is unknown: no daemon of yours listed its roots";
        check.fix = "mend the daemon checks above first";
        return;
    }
    const std::string root = protocol::rootHolding(daemon.roots, canonical);
    check.detail("root", root);
    if (root.empty()) {
        check.found = canonical + " lies in no sync folder, and only files in one get emblems";
        check.fix = "look inside a sync folder, or add this folder as one in the Tarnwell client";
        return;
    }

    if (!daemon.mayAsk) {
        check.found = canonical + " in sync root " + root +
                      "; its status was not asked, since who runs the daemon cannot be found";
        check.fix = "see the daemon check above";
        return;
    }
    explainStatus(canonical, root, listedForm(daemon, root), connection, folders, deadline, check);
}

}  // namespace tarnwell::doctor
