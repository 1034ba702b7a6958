#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "checks.h"
#include "host_face/text_domain.h"

namespace tarnwell::doctor {

namespace {

namespace fs = std::filesystem;

std::string environment(const char* name) {
    const char* const value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isCLocale(const std::string& name) {
    return name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

// The locale gettext reads LC_MESSAGES from: the first of LC_ALL,
// LC_MESSAGES and LANG that is set.
std::string messagesLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = environment(name);
        if (!value.empty()) {
            return value;
        }
    }
    return {};
}

// The languages gettext tries, in order: LANGUAGE's list unless the locale
// is C or POSIX (where gettext ignores LANGUAGE), else the locale itself.
// Under these locales gettext ignores LANGUAGE.
bool languageIgnored(const std::string& locale) {
    return locale.empty() || locale == "C" || locale == "POSIX";
}

std::vector<std::string> wantedLanguages(const std::string& locale) {
    const std::string list = environment("LANGUAGE");
    if (list.empty() || languageIgnored(locale)) {
        return {locale};
    }
    std::vector<std::string> languages;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t colon = std::min(list.find(':', start), list.size());
        if (colon > start) {
            languages.push_back(list.substr(start, colon - start));
        }
        start = colon + 1;
    }
    return languages;
}

// The folders gettext looks in for `language` (ll_CC.charset@mod), most
// specific first: without the charset, then without the country.
std::vector<std::string> fallbacks(const std::string& language) {
    const std::size_t at = language.find('@');
    const std::string modifier = at == std::string::npos ? "" : language.substr(at);
    const std::string base = language.substr(0, std::min(language.find('.'), at));
    const std::string lang = base.substr(0, base.find('_'));
    std::vector<std::string> names = {language};
    for (const std::string& name : {base + modifier, base, lang + modifier, lang}) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }
    return names;
}

// The languages with a catalogue of the plug-in's domain in `localeDir`.
std::vector<std::string> installedLanguages(const std::string& localeDir) {
    std::vector<std::string> languages;
    std::error_code error;
    fs::directory_iterator it(localeDir, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (fs::is_regular_file(it->path() / "LC_MESSAGES" / (std::string(kTextDomain) + ".mo"),
                                ignored)) {
            languages.push_back(it->path().filename().string());
        }
    }
    std::sort(languages.begin(), languages.end());
    return languages;
}

void reportFound(Check& check, const std::string& language, const std::string& catalogue,
                 const std::string& localeDir) {
    check.detail("catalogue", catalogue);
    check.found = language + ": catalogue " + catalogue + " in " + localeDir;
}

// The menu shows in English under the C locale. A LANGUAGE set there asks
// for another language, which gettext ignores: say so, or the user is left
// wondering why the setting does nothing.
void reportCLocale(const std::string& locale, Check& check) {
    const std::string list = environment("LANGUAGE");
    if (list.empty() || !languageIgnored(locale)) {
        check.found = "the C locale: the menu shows in English";
        return;
    }
    check.verdict = Verdict::Warning;
    check.found =
        "the C locale, where gettext ignores LANGUAGE=" + list + ", so the menu shows in English";
    check.fix =
        "set LANG to a locale of that language (one that locale -a lists, for instance "
        "de_DE.UTF-8 for German); LANGUAGE then picks among its languages";
}

}  // namespace

void checkCatalogue(const std::string& pluginPath, Report& report) {
    Check& check = report.checks.emplace_back();
    check.id = "catalogue";
    check.title = "menu language";
    const std::string locale = messagesLocale();
    const std::string localeDir = localeDirBeside(fs::path(pluginPath).parent_path().string());
    const std::vector<std::string> installed = installedLanguages(localeDir);
    check.detail("locale", locale).detail("locale_dir", localeDir);
    check.detailList("translated", installed);
    // The doctor runs on one thread and prints nothing that setlocale changes.
    if (!isCLocale(locale) && std::setlocale(LC_MESSAGES, "") == nullptr) {
        check.verdict = Verdict::Warning;
        check.found = "the locale " + locale + " is not installed, so the menu shows in English";
        check.fix = "generate it (dpkg-reconfigure locales) or choose one that locale -a lists";
        return;
    }
    const std::vector<std::string> wanted = wantedLanguages(locale);
    for (const std::string& language : wanted) {
        if (isCLocale(language)) {
            reportCLocale(locale, check);
            return;
        }
        for (const std::string& name : fallbacks(language)) {
            if (std::find(installed.begin(), installed.end(), name) != installed.end()) {
                reportFound(check, language, name, localeDir);
                return;
            }
        }
    }
    if (wanted.front().rfind("en", 0) == 0) {
        check.found = wanted.front() + ": English, the menu's own language";
        return;
    }
    check.verdict = Verdict::Warning;
    check.found = "no catalogue for " + wanted.front() + " in " + localeDir +
                  ", so the menu shows in English";
    check.fix = installed.empty()
                    ? "reinstall the Tarnwell file-manager plug-in package, which brings them"
                    : "translated so far: " + joinNames(installed) +
                          "; reinstall the plug-in's package if yours is among them";
}

}  // namespace tarnwell::doctor
