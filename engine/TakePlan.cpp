#include "engine/TakePlan.h"

#include "engine/AssembledPicture.h"
#include "engine/NameTable.h"
#include "engine/TitleMatching.h"

namespace zarvo {
namespace {

bool isKnownAs(const RecorderPlace& place, FrameSourceKind kind) {
    return place.kindKnown && place.kind == kind;
}

// Whether a place's own sound goes into its movie. When the computer's sound fills the
// separate movies, only NDI sources bring their own; otherwise every source does that is not
// known to be Syphon, which has no sound.
bool recordsOwnSound(const RecorderPlace& place, bool computerSoundInEachMovie) {
    return computerSoundInEachMovie ? isKnownAs(place, FrameSourceKind::NDI)
                                    : !isKnownAs(place, FrameSourceKind::Syphon);
}

std::vector<std::optional<Size>> knownSizes(const std::vector<Size>& sizes) {
    std::vector<std::optional<Size>> known;
    known.reserve(sizes.size());
    for (const auto& size : sizes) {
        known.push_back(size.width >= 1 ? std::optional<Size>(size) : std::nullopt);
    }
    return known;
}

void planSound(Take::StartOptions& options, const RecorderSettings& settings,
               const std::vector<PlaceRef>& places) {
    options.computerSound = settings.sound == "computer";
    const bool computerSoundInEachMovie =
        options.computerSound && options.output == TakeOutput::Separate;
    for (size_t i = 0; i < places.size(); ++i) {
        if (recordsOwnSound(*places[i], computerSoundInEachMovie)) {
            options.soundSources.insert(i);
        }
    }
    if (!options.computerSound && !settings.sound.empty()) {
        const uint64_t index = indexOfPlaceWithTitle(settings.sound, places);
        if (options.soundSources.contains(index)) {
            options.assembledSoundIndex = index;
        }
    }
}

void planAssembledPicture(TakePlan& plan, const RecorderSettings& settings) {
    if (plan.options.output == TakeOutput::Separate) {
        return;
    }
    const int64_t kind = settings.layoutKind();
    plan.layout.emplace(kind, plan.sizes, settings.gap, settings.fittingSize());
    plan.options.assembledSize = plan.layout->size();
    plan.monitorLayout =
        AssembledPicture::monitorLayout(*plan.layout, kind, plan.sizes, settings.gap);
}

}  // namespace

std::string unnamedTakeName(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H.%M.%S", &local);
    return std::string("ZarvoRecorder ") + date;
}

TakePlan planTake(const RecorderSettings& settings, const std::vector<PlaceRef>& places,
                  std::time_t now) {
    TakePlan plan;
    Take::StartOptions& options = plan.options;
    const Codec codec = settings.chosenCodec();
    options.settings.codec = static_cast<int64_t>(codec);
    options.settings.framesPerSecond = settings.fps;
    options.settings.megabitsPerSecond = settings.bitrate;
    plan.transparent = keepsAlpha(codec);

    plan.sizes = AssembledPicture::sizesOf(places);
    options.sizes = knownSizes(plan.sizes);
    options.output = static_cast<TakeOutput>(outputNameTable().indexOrFirst(settings.output));
    planAssembledPicture(plan, settings);

    options.name = settings.name.empty() ? unnamedTakeName(now) : settings.name;
    planSound(options, settings, places);
    options.sourceTitles = placeTitles(places);
    options.folder = settings.folder;
    return plan;
}

}  // namespace zarvo
