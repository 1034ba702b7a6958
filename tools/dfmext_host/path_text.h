// The path arithmetic of dfmext-host's commands, on text as a file manager
// does it: no file is looked at.
//
// Free functions without state; any thread.
#ifndef TARNWELL_TOOLS_DFMEXT_HOST_PATH_TEXT_H_
#define TARNWELL_TOOLS_DFMEXT_HOST_PATH_TEXT_H_

#include <string>

namespace dfmext_host {

// DIR/NAME, without doubling a trailing slash of DIR.
std::string childPath(const std::string& dir, const std::string& name);

// The last component of a folder's path, as a file manager titles its
// window: "/a/b/" -> "b"; "/" stays "/".
std::string folderName(const std::string& dir);

// The folder a path lies in, as text: "/a/b/c" -> "/a/b", "/a" -> "/",
// "c" -> ".". Trailing slashes are ignored.
std::string parentFolder(const std::string& path);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_DFMEXT_HOST_PATH_TEXT_H_
