// Export macro of the host library stand-in. Everything else stays hidden.
#ifndef DFMEXT_EXPORT_H_
#define DFMEXT_EXPORT_H_

#if defined(DFMEXT_BUILDING_LIBRARY)
#define DFMEXT_EXPORT __attribute__((visibility("default")))
#else
#define DFMEXT_EXPORT
#endif

#endif  // DFMEXT_EXPORT_H_
