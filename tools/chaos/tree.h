// The folder tree a chaos run shows: three folders that the daemon may list
// as sync roots, one that it never lists, and files the daemon knows about but
// the host never lists ("ghosts"). Every path is canonical (the tree lies
// under a folder resolved with realpath), as the plug-in sends them.
//
// Thread safety: built once before the run, then only read.
#ifndef TARNWELL_TOOLS_CHAOS_TREE_H_
#define TARNWELL_TOOLS_CHAOS_TREE_H_

#include <string>
#include <unordered_map>
#include <vector>

namespace tarnwell::chaos {

inline constexpr int kRootCandidates = 3;
// The root of a path outside every root candidate.
inline constexpr int kOutside = -1;
// The rows the host's window shows at once.
inline constexpr int kVisibleRows = 40;

struct Tree {
    std::string base;                         // the folder holding everything
    std::vector<std::string> rootCandidates;  // kRootCandidates folders
    // Every path the daemon keeps a status for: first the rows the host
    // lists (folders and files, in listing order), then the ghosts.
    std::vector<std::string> paths;
    std::vector<int> rootOf;  // per path: the root candidate holding it, or kOutside
    std::vector<bool> isFolder;
    std::size_t rowCount = 0;  // paths[0, rowCount) are listed
    std::unordered_map<std::string, int> indexOf;

    bool isRow(int index) const { return static_cast<std::size_t>(index) < rowCount; }
    // Whether the candidate `root` is in `rootsMask` and holds `index`.
    bool inRoots(int index, unsigned rootsMask) const {
        const int root = rootOf[static_cast<std::size_t>(index)];
        return root != kOutside && (rootsMask & (1U << root)) != 0;
    }
};

// Creates about `files` files under a fresh folder in `parent` (a temporary
// folder when empty). False, with `error` set, when the file system refuses.
bool buildTree(const std::string& parent, int files, Tree& tree, std::string& error);
// Removes everything buildTree created.
void removeTree(const Tree& tree);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_TREE_H_
