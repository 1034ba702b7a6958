// What every tool's main does the same way: making sure the standard
// descriptors exist before anything opens a descriptor of its own, and
// noticing that its output was lost.
// Main thread only: they touch the process's standard streams.
#ifndef TARNWELL_TOOLS_COMMON_PROGRAM_H_
#define TARNWELL_TOOLS_COMMON_PROGRAM_H_

#include <string>

namespace tarnwell::tools {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed. A
// program started with one of them closed (`<&-`, or by a careless service
// manager) would otherwise hand that number to the next socket or eventfd it
// opens, and then read its "input" from it or write its output into it. The
// first thing each main does.
void openClosedStandardDescriptors();

// Flushes stdout (and std::cout, which writes through it). False when a
// write to it failed, now or before (a full disk, /dev/full, a pipe whose
// reader is gone), with the reason in `error`.
bool flushStandardOutput(std::string& error);

}  // namespace tarnwell::tools

#endif  // TARNWELL_TOOLS_COMMON_PROGRAM_H_
