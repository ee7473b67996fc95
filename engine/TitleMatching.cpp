#include "engine/TitleMatching.h"

#include <set>

#include "engine/NameTable.h"

namespace zarvo {
namespace {

std::optional<std::string> firstMatching(const std::string& text,
                                         const std::vector<std::string>& candidates) {
    for (const auto& candidate : candidates) {
        if (candidate == text) {
            return candidate;
        }
    }
    for (const auto& candidate : candidates) {
        if (containsIgnoringCase(candidate, text)) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> placeTitles(const std::vector<PlaceRef>& places) {
    std::vector<std::string> titles;
    titles.reserve(places.size());
    for (const auto& place : places) {
        titles.push_back(place->title());
    }
    return titles;
}

std::vector<SourceDescription> firstOfEachTitle(std::vector<SourceDescription> sources) {
    std::vector<SourceDescription> unique;
    std::set<std::string> seen;
    for (auto& source : sources) {
        if (seen.insert(source.title).second) {
            unique.push_back(std::move(source));
        }
    }
    return unique;
}

std::vector<std::string> distinctTitles(const std::vector<SourceDescription>& sources) {
    std::vector<std::string> titles;
    std::set<std::string> seen;
    for (const auto& source : sources) {
        if (seen.insert(source.title).second) {
            titles.push_back(source.title);
        }
    }
    return titles;
}

std::optional<std::string> sourceTitleMatching(const std::string& text,
                                               const std::vector<SourceDescription>& available,
                                               const std::vector<PlaceRef>& places) {
    std::vector<std::string> candidates = distinctTitles(available);
    const std::set<std::string> listed(candidates.begin(), candidates.end());
    for (const auto& place : places) {
        if (!listed.contains(place->title())) {
            candidates.push_back(place->title());
        }
    }
    return firstMatching(text, candidates);
}

std::optional<std::string> placeTitleMatching(const std::string& text,
                                              const std::vector<PlaceRef>& places) {
    return firstMatching(text, placeTitles(places));
}

std::optional<std::string> soundChoiceMatching(const std::string& text,
                                               const std::vector<PlaceRef>& places) {
    if (text.empty()) {
        return std::string();
    }
    if (equalsIgnoringCase(text, "computer")) {
        return std::string("computer");
    }
    return placeTitleMatching(text, places);
}

uint64_t indexOfPlaceWithTitle(const std::string& title, const std::vector<PlaceRef>& places) {
    for (size_t i = 0; i < places.size(); ++i) {
        if (places[i]->title() == title) {
            return i;
        }
    }
    return kNotFound;
}

}  // namespace zarvo
