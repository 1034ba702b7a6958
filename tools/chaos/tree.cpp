#include "tree.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnwell::chaos {

namespace {

constexpr int kFoldersPerRoot = 10;
constexpr int kGhostsPerRoot = 100;
constexpr int kOutsideFiles = 60;

void addPath(Tree& tree, const std::string& path, int root, bool folder) {
    tree.indexOf.emplace(path, static_cast<int>(tree.paths.size()));
    tree.paths.push_back(path);
    tree.rootOf.push_back(root);
    tree.isFolder.push_back(folder);
}

bool makeFolder(Tree& tree, const std::string& path, int root, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directory(path, ec);
    if (ec) {
        error = "cannot create " + path + ": " + ec.message();
        return false;
    }
    addPath(tree, path, root, true);
    return true;
}

bool makeFile(Tree& tree, const std::string& path, int root, std::string& error) {
    std::ofstream(path) << "x";
    if (!std::filesystem::exists(path)) {
        error = "cannot create " + path;
        return false;
    }
    addPath(tree, path, root, false);
    return true;
}

// A root candidate with its sub-folders and files, in listing order.
bool makeRoot(Tree& tree, int root, int filesPerFolder, std::string& error) {
    const std::string dir = tree.rootCandidates[static_cast<std::size_t>(root)];
    if (!makeFolder(tree, dir, root, error)) {
        return false;
    }
    for (int f = 0; f < kFoldersPerRoot; ++f) {
        const std::string folder = dir + "/folder" + std::to_string(f);
        if (!makeFolder(tree, folder, root, error)) {
            return false;
        }
        for (int i = 0; i < filesPerFolder; ++i) {
            if (!makeFile(tree, folder + "/file" + std::to_string(i) + ".txt", root, error)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool buildTree(const std::string& parent, int files, Tree& tree, std::string& error) {
    std::string pattern =
        (parent.empty() ? std::filesystem::temp_directory_path().string() : parent) +
        "/tarnwell-chaos-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a folder like " + pattern;
        return false;
    }
    char resolved[PATH_MAX];
    if (::realpath(pattern.c_str(), resolved) == nullptr) {
        error = "cannot resolve " + pattern;
        return false;
    }
    tree.base = resolved;
    for (const char* name : {"Documents", "Photos", "Team"}) {
        tree.rootCandidates.push_back(tree.base + "/" + name);
    }
    const int filesPerFolder =
        std::max(1, (files - kOutsideFiles) / (kRootCandidates * kFoldersPerRoot));
    for (int root = 0; root < kRootCandidates; ++root) {
        if (!makeRoot(tree, root, filesPerFolder, error)) {
            return false;
        }
    }
    const std::string outside = tree.base + "/Elsewhere";
    if (!makeFolder(tree, outside, kOutside, error)) {
        return false;
    }
    for (int i = 0; i < kOutsideFiles; ++i) {
        if (!makeFile(tree, outside + "/note" + std::to_string(i) + ".txt", kOutside, error)) {
            return false;
        }
    }
    tree.rowCount = tree.paths.size();
    for (int root = 0; root < kRootCandidates; ++root) {
        for (int g = 0; g < kGhostsPerRoot; ++g) {
            addPath(tree,
                    tree.rootCandidates[static_cast<std::size_t>(root)] + "/.ghost/g" +
                        std::to_string(g) + ".bin",
                    root, false);
        }
    }
    return true;
}

void removeTree(const Tree& tree) {
    if (!tree.base.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(tree.base, ec);
    }
}

}  // namespace tarnwell::chaos
