#include "engine/DisplayInfo.h"

#include <algorithm>

namespace orvane {

Rect Rect::intersection(const Rect& other) const {
    double left = std::max(x, other.x), top = std::max(y, other.y);
    double r = std::min(right(), other.right()), b = std::min(bottom(), other.bottom());
    if (r <= left || b <= top) return {};
    return {left, top, r - left, b - top};
}

std::optional<DisplayInfo> displayContaining(Point point, const std::vector<DisplayInfo>& displays) {
    for (const auto& d : displays)
        if (d.bounds.contains(point)) return d;
    return std::nullopt;
}

std::optional<DisplayInfo> displayFor(const Rect& rect, const std::vector<DisplayInfo>& displays) {
    const DisplayInfo* kept = nullptr;
    double keptArea = 0;
    for (const auto& d : displays) {
        Rect common = d.bounds.intersection(rect);
        if (common.isEmpty()) continue;
        double area = common.width * common.height;
        if (area > keptArea) {
            kept = &d;
            keptArea = area;
        }
    }
    if (kept) return *kept;
    return displayContaining({rect.x + rect.width / 2, rect.y + rect.height / 2}, displays);
}

} // namespace orvane
