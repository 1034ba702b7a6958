// The plug-in's own gettext text domain and where its message catalogues
// lie. The file manager owns the locale and the default domain: the plug-in
// binds only this domain (host_face/translate.h), to the catalogues installed
// beside it. tarnwell-doctor looks for them the same way.
//
// Thread safety: localeDirBeside only reads the file system; any thread.
#ifndef TARNWELL_HOST_FACE_TEXT_DOMAIN_H_
#define TARNWELL_HOST_FACE_TEXT_DOMAIN_H_

#include <string>

namespace tarnwell {

inline constexpr const char* kTextDomain = "dfm-extension-tarnwell";

// The folder holding LANG/LC_MESSAGES/dfm-extension-tarnwell.mo for a
// plug-in (or a program linking the plug-in's code) in `binaryDir`: where an
// install puts the catalogues, seen from the plug-in's folder, so that a tree
// installed under a DESTDIR or another prefix works as installed; else the
// build tree's <build>/share/locale, which is ../share/locale from both its
// lib/ and its bin/; else, for a file manager's module in its own extension
// folder, the nearest <ancestor>/share/locale above `binaryDir`. The first of
// these that holds a catalogue of the domain for any language; the installed
// one when none does.
std::string localeDirBeside(const std::string& binaryDir);

}  // namespace tarnwell

#endif  // TARNWELL_HOST_FACE_TEXT_DOMAIN_H_
