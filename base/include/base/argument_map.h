// The argument map that commands, responses and notifications carry.
#ifndef TARNWELL_BASE_ARGUMENT_MAP_H_
#define TARNWELL_BASE_ARGUMENT_MAP_H_

#include <string>
#include <unordered_map>
#include <vector>

namespace tarnwell {

// Key to values, values in the order they were added. Iteration order means
// nothing. Keys and values are byte strings: any byte may occur.
using ArgumentMap = std::unordered_map<std::string, std::vector<std::string>>;

}  // namespace tarnwell

#endif  // TARNWELL_BASE_ARGUMENT_MAP_H_
