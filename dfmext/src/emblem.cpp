#include "dfmext/emblem.h"

namespace dfmext {

DFMExtEmblemIconLayout::DFMExtEmblemIconLayout(LocationType type, const std::string& iconName,
                                               int x, int y)
    : type_(type), iconName_(iconName), x_(x), y_(y) {}
DFMExtEmblemIconLayout::DFMExtEmblemIconLayout(const DFMExtEmblemIconLayout&) = default;
DFMExtEmblemIconLayout& DFMExtEmblemIconLayout::operator=(const DFMExtEmblemIconLayout&) = default;
DFMExtEmblemIconLayout::~DFMExtEmblemIconLayout() = default;

DFMExtEmblem::DFMExtEmblem() = default;
DFMExtEmblem::DFMExtEmblem(const DFMExtEmblem&) = default;
DFMExtEmblem& DFMExtEmblem::operator=(const DFMExtEmblem&) = default;
DFMExtEmblem::~DFMExtEmblem() = default;

void DFMExtEmblem::setEmblem(const std::vector<DFMExtEmblemIconLayout>& layouts) {
    layouts_ = layouts;
}

DFMExtEmblemIconPlugin::DFMExtEmblemIconPlugin() = default;
DFMExtEmblemIconPlugin::~DFMExtEmblemIconPlugin() = default;

void DFMExtEmblemIconPlugin::registerLocationEmblemIcons(const IconsFunc& func) {
    iconsFunc_ = func;
}

DFMExtEmblem DFMExtEmblemIconPlugin::requestEmblem(const std::string& filePath,
                                                   int systemIconCount) const {
    if (!iconsFunc_) {
        return DFMExtEmblem();
    }
    return iconsFunc_(filePath, systemIconCount);
}

}  // namespace dfmext
