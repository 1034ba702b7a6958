// What the plug-in fills up after a copy's warm-up and then keeps full, which
// rule f must tell from a leak: the answers its wanted queries hold
// (core/wanted_queries.h). A flood names paths from the whole tree; the
// answers for those nobody drew or knew are held until the host draws them,
// notifications are lost or the daemon reconnects, with no expiry. So after
// some floods a copy holds an answer for most of the tree's paths, a few
// hundred KiB for the default tree, and keeps them: the heap grows by that
// once, at whatever moment the floods bring it, and never past it. The status
// cache holds its paths already at the warm-up, since each copy scrolls
// through the whole folder first.
//
// Thread safety: heldAnswersKiB measures with the allocator's count, so no
// other thread of the process may allocate meanwhile.
#ifndef TARNWELL_TOOLS_CHAOS_PLUGIN_FILL_H_
#define TARNWELL_TOOLS_CHAOS_PLUGIN_FILL_H_

#include "tree.h"

namespace tarnwell::chaos {

// The heap the plug-in's wanted queries take beyond their empty size when
// they hold an answer for every path of `tree`, in KiB: measured on the
// plug-in's own structure, filled as the plug-in fills it.
double heldAnswersKiB(const Tree& tree);

}  // namespace tarnwell::chaos

#endif  // TARNWELL_TOOLS_CHAOS_PLUGIN_FILL_H_
