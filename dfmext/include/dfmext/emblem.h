// Emblems: the small icons a file manager draws over a file's icon.
//
// A plug-in derives from DFMExtEmblemIconPlugin and registers one callable
// that the host calls for every file it draws. The host side
// (requestEmblem) is what a file manager, or our dfmext-host, calls.
//
// Thread safety: value types (DFMExtEmblemIconLayout, DFMExtEmblem) are
// ordinary values. DFMExtEmblemIconPlugin is registered once on one thread and
// afterwards only read, so requestEmblem may be called from several host
// threads at once; the registered callable must be safe for that itself.
#ifndef DFMEXT_EMBLEM_H_
#define DFMEXT_EMBLEM_H_

#include <functional>
#include <string>
#include <vector>

#include "dfmext/export.h"

namespace dfmext {

// Where on the file's icon one emblem is drawn, with an offset in pixels.
class DFMEXT_EXPORT DFMExtEmblemIconLayout {
public:
    // Positions on the file's icon. The host decides what each means on
    // screen; a plug-in that has no preference uses BottomLeft.
    enum class LocationType : int {
        BottomRight = 0,
        BottomLeft = 1,
        TopLeft = 2,
        TopRight = 3,
    };

    DFMExtEmblemIconLayout(LocationType type, const std::string& iconName, int x = 0, int y = 0);
    DFMExtEmblemIconLayout(const DFMExtEmblemIconLayout&);
    DFMExtEmblemIconLayout& operator=(const DFMExtEmblemIconLayout&);
    ~DFMExtEmblemIconLayout();

    LocationType locationType() const { return type_; }
    // An icon-theme name (for example "emblem-default").
    const std::string& iconPath() const { return iconName_; }
    int x() const { return x_; }
    int y() const { return y_; }

private:
    LocationType type_;
    std::string iconName_;
    int x_;
    int y_;
};

// What a plug-in answers for one file: zero or more layouts. A default
// constructed emblem is empty and the host draws nothing.
class DFMEXT_EXPORT DFMExtEmblem {
public:
    DFMExtEmblem();
    DFMExtEmblem(const DFMExtEmblem&);
    DFMExtEmblem& operator=(const DFMExtEmblem&);
    ~DFMExtEmblem();

    // Copies the layouts; replaces any set before.
    void setEmblem(const std::vector<DFMExtEmblemIconLayout>& layouts);
    const std::vector<DFMExtEmblemIconLayout>& emblems() const { return layouts_; }

private:
    std::vector<DFMExtEmblemIconLayout> layouts_;
};

class DFMEXT_EXPORT DFMExtEmblemIconPlugin {
public:
    // Called with a file's path (or URL) and an integer the host passes along
    // (the number of emblems the host itself already draws on that file).
    using IconsFunc = std::function<DFMExtEmblem(const std::string& filePath, int systemIconCount)>;

    DFMExtEmblemIconPlugin();
    DFMExtEmblemIconPlugin(const DFMExtEmblemIconPlugin&) = delete;
    DFMExtEmblemIconPlugin& operator=(const DFMExtEmblemIconPlugin&) = delete;
    virtual ~DFMExtEmblemIconPlugin();

    // Plug-in side: the host keeps its own copy of the callable.
    void registerLocationEmblemIcons(const IconsFunc& func);

    // Host side: asks the registered callable; an empty emblem when none is
    // registered.
    DFMExtEmblem requestEmblem(const std::string& filePath, int systemIconCount) const;

private:
    IconsFunc iconsFunc_;
};

}  // namespace dfmext

#endif  // DFMEXT_EMBLEM_H_
