#include "engine/SoundConverter.h"

#include <cmath>
#include <vector>

#include "platform/Log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace zarvo {

std::unique_ptr<SoundConverter> SoundConverter::make(double fromRate) {
    // The resampler takes whole rates; sources deliver whole rates in practice.
    const long rounded = std::lround(fromRate);
    if (!std::isfinite(fromRate) || rounded < 1 || rounded > 1000000) {
        return nullptr;
    }
    SwrContext* context = nullptr;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&context, &stereo, AV_SAMPLE_FMT_FLT, 48000, &stereo, AV_SAMPLE_FMT_FLT,
                            static_cast<int>(rounded), 0, nullptr) < 0 ||
        swr_init(context) < 0) {
        swr_free(&context);
        return nullptr;
    }
    return std::unique_ptr<SoundConverter>(new SoundConverter(context, fromRate));
}

SoundConverter::~SoundConverter() {
    swr_free(&context_);
}

std::shared_ptr<const SourceSound> SoundConverter::convert(
    const std::shared_ptr<const SourceSound>& sound) {
    const int64_t inFrames = sound ? static_cast<int64_t>(sound->frameCount()) : 0;
    if (inFrames > (int64_t{1} << 30)) {
        return nullptr;
    }
    std::vector<float> collected;
    const auto* input = sound ? reinterpret_cast<const uint8_t*>(sound->samples()) : nullptr;
    int inputLeft = static_cast<int>(inFrames);
    // Room for what this buffer gives plus what the converter holds back.
    const int capacity =
        static_cast<int>(std::ceil(static_cast<double>(inFrames) * 48000.0 / fromRate_)) + 1024;
    std::vector<float> out(static_cast<size_t>(capacity) * 2);
    for (;;) {
        auto* outPlane = reinterpret_cast<uint8_t*>(out.data());
        const int produced = sound ? swr_convert(context_, &outPlane, capacity, &input, inputLeft)
                                   : swr_convert(context_, &outPlane, capacity, nullptr, 0);
        if (produced < 0) {
            char text[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(produced, text, sizeof text);
            logLine(std::string("MovieRecorder could not convert sound: ") + text);
            break;
        }
        collected.insert(collected.end(), out.begin(), out.begin() + 2 * produced);
        input = nullptr;
        inputLeft = 0;
        if (produced < capacity) {
            break;  // the converter has given all it holds for now
        }
    }
    if (collected.empty()) {
        return nullptr;
    }
    return SourceSound::soundWithInterleavedStereoSamples(collected.data(), collected.size() / 2,
                                                          48000.0);
}

}  // namespace zarvo
