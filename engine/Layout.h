#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// A size in pixels.
struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle in pixels; the origin is the top-left corner, y grows downwards.
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Places the pictures of several sources side by side in one assembled picture.
//
// Everything is worked out once, at construction: the assembled picture's size (always whole,
// even and at least 2 in each dimension) and one frame per source, in source order. The object is
// never modified afterwards, so it may be read from any thread.
class Layout {
  public:
    // kind: 0 row, 1 column, 2 grid, anything else focus.
    // sourceSizes: one per source; an entry whose width or height is below 1, not finite or
    // absurdly large is laid out as 1920x1080.
    // gap: pixels between neighbouring sources; negative counts as 0.
    // fittingSize: when usable (width and height at least 1 and finite) the picture gets exactly
    // this size, floored to even numbers, and the content is scaled to fit inside it, centred.
    Layout(int64_t kind, const std::vector<Size>& sourceSizes, int64_t gap, Size fittingSize = {});

    // The kind as given to the constructor, even when it is out of range.
    int64_t kind() const { return kind_; }
    Size size() const { return size_; }
    const std::vector<Rect>& frames() const { return frames_; }

    // "row", "column", "grid", "focus", indexed by kind.
    static const std::vector<std::string>& kindNames();
    // The name of a kind; a kind outside the name table yields "row".
    static std::string nameForKind(int64_t kind);
    // Looks the name up regardless of ASCII case. Returns false and leaves kind untouched when the
    // name is unknown.
    static bool getKind(int64_t& kind, std::string_view name);

  private:
    int64_t kind_;
    std::vector<Rect> frames_;
    Size size_;
};

}  // namespace zarvo
