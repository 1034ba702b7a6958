// The four symbols the file manager resolves in the plug-in. They are the
// only symbols the plug-in exports.
//
// Thread safety: the host calls them on its one calling thread; initialize
// comes first and shutdown last.
#ifndef TARNWELL_PLUGINS_ENTRY_POINTS_H_
#define TARNWELL_PLUGINS_ENTRY_POINTS_H_

#define TARNWELL_EXPORT __attribute__((visibility("default")))

namespace dfmext {
class DFMExtEmblemIconPlugin;
class DFMExtMenuPlugin;
}  // namespace dfmext

extern "C" {
// Brings the core up (its threads connect to the daemon on their own) and
// creates the two plug-in objects. A second call without a shutdown in
// between keeps the objects it created the first time.
TARNWELL_EXPORT void dfm_extension_initialize();
// Destroys the plug-in objects, then stops the core's threads and clears its
// state. The core itself lives on until the plug-in is unloaded.
TARNWELL_EXPORT void dfm_extension_shutdown();
// The plug-in objects; null before initialize and after shutdown.
TARNWELL_EXPORT dfmext::DFMExtEmblemIconPlugin* dfm_extension_emblem();
TARNWELL_EXPORT dfmext::DFMExtMenuPlugin* dfm_extension_menu();
}

#endif  // TARNWELL_PLUGINS_ENTRY_POINTS_H_
