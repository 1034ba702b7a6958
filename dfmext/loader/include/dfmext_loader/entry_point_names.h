// The four symbols a file-manager extension plug-in exports and the host
// calls, in the order the host calls them first. Constants only, without the
// host library, so that tarnwell-doctor can look for them in a plug-in where
// that library is missing.
#ifndef DFMEXT_LOADER_ENTRY_POINT_NAMES_H_
#define DFMEXT_LOADER_ENTRY_POINT_NAMES_H_

namespace dfmext::host {

inline constexpr const char* kInitializeEntry = "dfm_extension_initialize";
inline constexpr const char* kShutdownEntry = "dfm_extension_shutdown";
inline constexpr const char* kEmblemEntry = "dfm_extension_emblem";
inline constexpr const char* kMenuEntry = "dfm_extension_menu";
inline constexpr const char* kEntryPointNames[] = {kInitializeEntry, kShutdownEntry, kEmblemEntry,
                                                   kMenuEntry};

}  // namespace dfmext::host

#endif  // DFMEXT_LOADER_ENTRY_POINT_NAMES_H_
