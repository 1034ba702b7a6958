// Menu texts in the user's language, through the plug-in's own text domain.
//
// Thread safety: any thread. The first call binds the domain under the guard
// of a function-local static; gettext's lookups are thread-safe. Nothing here
// calls setlocale or textdomain: they belong to the host.
#ifndef TARNWELL_HOST_FACE_TRANSLATE_H_
#define TARNWELL_HOST_FACE_TRANSLATE_H_

#include <string>

namespace tarnwell {

// The translation of `msgid` in the language the host's locale and
// LANGUAGE ask for, or `msgid` itself in the C locale and in any language
// without a catalogue. The first call binds the domain (UTF-8) to the
// catalogues beside the code that runs it.
std::string translate(const char* msgid);

}  // namespace tarnwell

#endif  // TARNWELL_HOST_FACE_TRANSLATE_H_
