// Writing the host's output files (the pictures) so that a failure or a
// signal never leaves one half written.
//
// Free functions without state; any thread.
#ifndef TARNWELL_TOOLS_DFMEXT_HOST_REPLACE_FILE_H_
#define TARNWELL_TOOLS_DFMEXT_HOST_REPLACE_FILE_H_

#include <string>

namespace dfmext_host {

// Replaces the file `path` with `content` whole or not at all: written to a
// new file beside it and renamed over it. What is not a regular file (or
// missing) is written in place instead: renaming over a device would replace
// the device. "" or the reason it failed.
std::string replaceFile(const std::string& path, const std::string& content);

}  // namespace dfmext_host

#endif  // TARNWELL_TOOLS_DFMEXT_HOST_REPLACE_FILE_H_
