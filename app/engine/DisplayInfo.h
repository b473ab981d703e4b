#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

// Global desktop coordinates: origin at the top-left, y growing downwards.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double right() const { return x + width; }
    double bottom() const { return y + height; }
    // The left and top edges belong to the rectangle, the right and bottom edges do not.
    bool contains(Point p) const { return p.x >= x && p.x < right() && p.y >= y && p.y < bottom(); }
    Rect intersection(const Rect& other) const;
    bool isEmpty() const { return !(width > 0 && height > 0); }
    bool operator==(const Rect&) const = default;
};

// One attached display; its uuid is the screen identifier used everywhere else.
struct DisplayInfo {
    std::uint32_t displayID = 0;
    std::string uuid;
    std::string name;
    Rect bounds;
    bool isBuiltIn = false;
    bool operator==(const DisplayInfo&) const = default;
};

// The first display whose bounds contain the point.
std::optional<DisplayInfo> displayContaining(Point point, const std::vector<DisplayInfo>& displays);
// The display holding the larger part of a window rectangle.
std::optional<DisplayInfo> displayFor(const Rect& rect, const std::vector<DisplayInfo>& displays);

} // namespace orvane
