// One canonical form per file: the key of the status cache, and what sync
// roots are compared with byte for byte.
//
// Free of shared state; safe on any thread.
#ifndef TARNWELL_CANONICAL_CANONICALIZE_PATH_H_
#define TARNWELL_CANONICAL_CANONICALIZE_PATH_H_

#include <string>
#include <string_view>

namespace tarnwell {

// "file:///a/b", "smb://host/x" and plain paths, relative ones too, to an
// absolute path with links resolved where the path exists, else normalized
// as text. Never empty, always begins with "/".
std::string canonicalizePath(const std::string& path);

// The path part of a URL as canonicalizePath takes it: everything from the
// first "/" behind the first "://", anywhere in the input; the whole input
// when there is no such "/". The scheme and host are dropped unexamined and
// nothing is decoded. Always a suffix of `input`.
std::string_view stripUrlPrefix(std::string_view input);

// A path in the canonical form, so that the compiler checks "canonical
// already" where a lookup skips the second canonicalization. Only the
// constructor makes one, and it canonicalizes whatever it is given.
class CanonicalPath {
public:
    explicit CanonicalPath(const std::string& anyPath) : path_(canonicalizePath(anyPath)) {}

    const std::string& str() const noexcept { return path_; }

private:
    std::string path_;
};

}  // namespace tarnwell

#endif  // TARNWELL_CANONICAL_CANONICALIZE_PATH_H_
