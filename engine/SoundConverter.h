#pragma once

#include <memory>

#include "sources/SourceSound.h"

struct SwrContext;

namespace zarvo {

// Converts interleaved stereo float sound from one sample rate to 48 kHz, keeping the
// converter's state across buffers so that consecutive buffers join without clicks.
class SoundConverter {
  public:
    // A converter from the given rate, or nullptr when the rate cannot be converted.
    static std::unique_ptr<SoundConverter> make(double fromRate);
    ~SoundConverter();
    SoundConverter(const SoundConverter&) = delete;
    SoundConverter& operator=(const SoundConverter&) = delete;

    // The 48 kHz sound made from this buffer (or, with none, what the converter still holds),
    // or nullptr when nothing came out.
    std::shared_ptr<const SourceSound> convert(const std::shared_ptr<const SourceSound>& sound);

  private:
    explicit SoundConverter(SwrContext* context, double fromRate)
        : context_(context), fromRate_(fromRate) {}
    SwrContext* context_;
    double fromRate_;
};

}  // namespace zarvo
