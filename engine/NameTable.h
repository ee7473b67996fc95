#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarvo {

// An ordered list of names whose index is the value stored for a name: codecs, outputs and
// layout kinds. A name is looked up by lower-casing it and comparing exactly; an index outside
// the list names the first entry.
class NameTable {
  public:
    NameTable(std::initializer_list<const char*> names) : names_(names.begin(), names.end()) {}
    explicit NameTable(std::vector<std::string> names) : names_(std::move(names)) {}

    const std::vector<std::string>& names() const { return names_; }

    std::optional<int64_t> indexOf(std::string_view name) const;

    // The index of the name, or 0 (the first entry) when the list does not know it.
    int64_t indexOrFirst(std::string_view name) const { return indexOf(name).value_or(0); }

    // The name at that index; the first name for an index outside the list.
    const std::string& nameAt(int64_t index) const;

    // The list's own form of a name it knows.
    std::optional<std::string> canonical(std::string_view name) const;

  private:
    std::vector<std::string> names_;
};

// Case-insensitive comparisons for titles: letters compare without regard to case (ASCII and
// the accented Latin letters of UTF-8), everything else byte for byte.
bool equalsIgnoringCase(std::string_view a, std::string_view b);
bool containsIgnoringCase(std::string_view text, std::string_view part);

// The codec names of a movie (kCodecs' names, in its order), the output names of a take.
const NameTable& codecNameTable();
const NameTable& outputNameTable();

}  // namespace zarvo
