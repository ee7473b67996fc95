#include "engine/Layout.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace zarvo {
namespace {

constexpr int64_t kRow = 0;
constexpr int64_t kColumn = 1;
constexpr int64_t kGrid = 2;

constexpr Size kDefaultSourceSize{1920, 1080};
constexpr Size kDefaultPictureSize{1920, 1080};

// No real picture comes near this many pixels on a side. Capping source and fitting sizes here
// keeps every product and sum below finite, so no infinity or NaN can reach the frames.
constexpr double kMaxDimension = 16777216.0;  // 2^24

bool usableDimension(double v) {
    return v >= 1 && v <= kMaxDimension;  // false for NaN and infinities too
}

// Unscaled frames and the natural picture size they span.
struct Arrangement {
    std::vector<Rect> frames;
    double width = 0;
    double height = 0;
};

Arrangement arrangeRow(const std::vector<Size>& sizes, double gap) {
    double height = 0;
    for (const Size& s : sizes) {
        height = std::max(height, s.height);
    }
    Arrangement a;
    a.frames.reserve(sizes.size());
    double x = 0;
    double widths = 0;
    for (const Size& s : sizes) {
        const double width = std::max(1.0, std::round(height * s.width / s.height));
        a.frames.push_back({x, 0, width, height});
        x += width + gap;
        widths += width;
    }
    a.width = widths + gap * static_cast<double>(sizes.size() - 1);
    a.height = height;
    return a;
}

Arrangement arrangeColumn(const std::vector<Size>& sizes, double gap) {
    double width = 0;
    for (const Size& s : sizes) {
        width = std::max(width, s.width);
    }
    Arrangement a;
    a.frames.reserve(sizes.size());
    double y = 0;
    double heights = 0;
    for (const Size& s : sizes) {
        const double height = std::max(1.0, std::round(width * s.height / s.width));
        a.frames.push_back({0, y, width, height});
        y += height + gap;
        heights += height;
    }
    a.width = width;
    a.height = heights + gap * static_cast<double>(sizes.size() - 1);
    return a;
}

// Smallest c with c * c >= n.
size_t gridColumns(size_t n) {
    auto c = static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(n))));
    while (c * c < n) {
        ++c;
    }
    while (c > 1 && (c - 1) * (c - 1) >= n) {
        --c;
    }
    return c;
}

Arrangement arrangeGrid(const std::vector<Size>& sizes, double gap) {
    double cellWidth = 0;
    double cellHeight = 0;
    for (const Size& s : sizes) {
        cellWidth = std::max(cellWidth, s.width);
        cellHeight = std::max(cellHeight, s.height);
    }
    const size_t columns = gridColumns(sizes.size());
    const size_t rows = (sizes.size() + columns - 1) / columns;

    Arrangement a;
    a.frames.reserve(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        const Size& s = sizes[i];
        // Fit inside the cell keeping the aspect, centred; the last row stays left-aligned.
        const double scale = std::min(cellWidth / s.width, cellHeight / s.height);
        const double width = std::max(1.0, std::round(s.width * scale));
        const double height = std::max(1.0, std::round(s.height * scale));
        const auto column = static_cast<double>(i % columns);
        const auto row = static_cast<double>(i / columns);
        a.frames.push_back({column * (cellWidth + gap) + std::floor((cellWidth - width) / 2),
                            row * (cellHeight + gap) + std::floor((cellHeight - height) / 2), width,
                            height});
    }
    const auto c = static_cast<double>(columns);
    const auto r = static_cast<double>(rows);
    a.width = c * cellWidth + gap * (c - 1);
    a.height = r * cellHeight + gap * (r - 1);
    return a;
}

Arrangement arrangeFocus(const std::vector<Size>& sizes, double gap) {
    const Size& main = sizes.front();
    const auto others = static_cast<double>(sizes.size() - 1);

    // The other sources share one tile height chosen so that the tiles and the gaps between them
    // fill the main source's height. With many sources or a large gap the tiles bottom out at one
    // pixel and may then run past the picture's bottom edge; the picture keeps the main height.
    const double tile = std::max(1.0, std::floor((main.height - gap * (others - 1)) / others));

    Arrangement a;
    a.frames.reserve(sizes.size());
    a.frames.push_back({0, 0, main.width, main.height});
    double columnWidth = 0;
    for (size_t j = 1; j < sizes.size(); ++j) {
        const Size& s = sizes[j];
        const double width = std::max(1.0, std::round(tile * s.width / s.height));
        a.frames.push_back({0, static_cast<double>(j - 1) * (tile + gap), width, tile});
        columnWidth = std::max(columnWidth, width);
    }
    // Centre each tile horizontally in the column right of the main source.
    for (size_t j = 1; j < a.frames.size(); ++j) {
        Rect& f = a.frames[j];
        f.x = main.width + gap + std::floor((columnWidth - f.width) / 2);
    }
    a.width = main.width + gap + columnWidth;
    a.height = main.height;
    return a;
}

Arrangement arrange(int64_t kind, const std::vector<Size>& sizes, double gap) {
    if (sizes.empty()) {
        return {{}, kDefaultPictureSize.width, kDefaultPictureSize.height};
    }
    if (sizes.size() == 1) {
        const Size& s = sizes.front();
        return {{{0, 0, s.width, s.height}}, s.width, s.height};
    }
    switch (kind) {
        case kRow:
            return arrangeRow(sizes, gap);
        case kColumn:
            return arrangeColumn(sizes, gap);
        case kGrid:
            return arrangeGrid(sizes, gap);
        default:
            return arrangeFocus(sizes, gap);
    }
}

// Picture dimensions must be whole, even (video encoders require it) and at least 2.
double evenAtLeast(double v, bool roundUp) {
    double whole = roundUp ? std::ceil(v) : std::floor(v);
    if (std::fmod(whole, 2) != 0) {
        whole += roundUp ? 1 : -1;
    }
    return std::max(2.0, whole);
}

}  // namespace

Layout::Layout(int64_t kind, const std::vector<Size>& sourceSizes, int64_t gap, Size fittingSize)
    : kind_(kind) {
    std::vector<Size> sizes;
    sizes.reserve(sourceSizes.size());
    for (const Size& s : sourceSizes) {
        const bool usable = usableDimension(s.width) && usableDimension(s.height);
        sizes.push_back(usable ? s : kDefaultSourceSize);
    }
    const double g = gap > 0 ? static_cast<double>(gap) : 0.0;
    Arrangement natural = arrange(kind, sizes, g);

    const bool fitting = fittingSize.width >= 1 && fittingSize.height >= 1 &&
                         std::isfinite(fittingSize.width) && std::isfinite(fittingSize.height);
    if (!fitting) {
        // Any rounding strip on the right or bottom simply stays background.
        size_ = {evenAtLeast(natural.width, true), evenAtLeast(natural.height, true)};
        frames_ = std::move(natural.frames);
        return;
    }

    const double width = evenAtLeast(std::min(fittingSize.width, kMaxDimension), false);
    const double height = evenAtLeast(std::min(fittingSize.height, kMaxDimension), false);
    size_ = {width, height};

    // Scale the content to fit, keeping its proportions, and centre it. The small epsilon stops
    // an offset that is whole in exact arithmetic from dropping a pixel through rounding error.
    const double scale = std::min(width / natural.width, height / natural.height);
    const double ox = std::max(0.0, std::floor((width - natural.width * scale) * 0.5 + 0.001));
    const double oy = std::max(0.0, std::floor((height - natural.height * scale) * 0.5 + 0.001));

    // Scaling each edge rather than each extent keeps frames that touched touching, with neither
    // an overlap nor a hairline between them.
    frames_.reserve(natural.frames.size());
    for (const Rect& f : natural.frames) {
        const double left = std::floor(f.x * scale);
        const double top = std::floor(f.y * scale);
        frames_.push_back({ox + left, oy + top,
                           std::max(1.0, std::floor((f.x + f.width) * scale) - left),
                           std::max(1.0, std::floor((f.y + f.height) * scale) - top)});
    }
}

const std::vector<std::string>& Layout::kindNames() {
    static const std::vector<std::string> names{"row", "column", "grid", "focus"};
    return names;
}

std::string Layout::nameForKind(int64_t kind) {
    const std::vector<std::string>& names = kindNames();
    if (kind < 0 || kind >= static_cast<int64_t>(names.size())) {
        return names.front();
    }
    return names[static_cast<size_t>(kind)];
}

bool Layout::getKind(int64_t& kind, std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    const std::vector<std::string>& names = kindNames();
    const auto it = std::find(names.begin(), names.end(), lower);
    if (it == names.end()) {
        return false;
    }
    kind = static_cast<int64_t>(it - names.begin());
    return true;
}

}  // namespace zarvo
