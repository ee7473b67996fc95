#include "engine/MovieRecorder.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "engine/FrameFitter.h"
#include "engine/MovieWriter.h"
#include "engine/SoundConverter.h"
#include "platform/HostClock.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace zarvo {

namespace {

constexpr double kPictureTimescale = 60000;
constexpr double kSoundRate = 48000;
constexpr int64_t kSilenceBudget = 48000;  // frames of silence written in one pass: 1 s
constexpr double kWaitBehindGap = 30.0;
constexpr double kWaitNormally = 2.0;
constexpr double kEpsilon = 0.000001;

}  // namespace

// --- Construction --------------------------------------------------------------------------

std::shared_ptr<MovieRecorder> MovieRecorder::make(gpu::DeviceRef device, MainQueue& mainQueue) {
    if (!device) {
        return nullptr;
    }
    return std::shared_ptr<MovieRecorder>(new MovieRecorder(std::move(device), mainQueue));
}

MovieRecorder::MovieRecorder(gpu::DeviceRef device, MainQueue& mainQueue)
    : device_(std::move(device)), mainQueue_(mainQueue), queue_("net.orvak.zarvo.movie-recorder") {}

MovieRecorder::~MovieRecorder() {
    // Queue tasks hold the recorder strongly, so none is left when this runs; a writer still
    // open is left as it stands.
    writer_.reset();
}

void MovieRecorder::callOnMain(std::function<void()> task) {
    mainQueue_.post(std::move(task));
}

// --- Start ---------------------------------------------------------------------------------

bool MovieRecorder::startWriting(const std::filesystem::path& file,
                                 const MovieRecorderSettings& settings, Error* error) {
    return startWriting(file, settings, std::nan(""), error);
}

bool MovieRecorder::startWriting(const std::filesystem::path& file,
                                 const MovieRecorderSettings& settings, double startTime,
                                 Error* error) {
    const auto refuse = [&](std::string message) {
        if (error != nullptr) {
            *error = movieError(std::move(message));
        }
        return false;
    };
    {
        std::lock_guard lock(lock_);
        if (recording_) {
            return refuse("A recording is already in progress");
        }
        if (finishing_) {
            return refuse("The previous movie is still being finished");
        }
    }
    const std::filesystem::path folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::error_code failure;
    if (!std::filesystem::is_directory(folder, failure)) {
        return refuse("The folder “" + folder.string() + "” does not exist");
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        return refuse("The folder “" + folder.string() + "” cannot be written to");
    }
    if (std::filesystem::exists(std::filesystem::symlink_status(file, failure))) {
        return refuse("“" + file.filename().string() + "” already exists");
    }

    {
        std::lock_guard lock(lock_);
        outputSize_ = Size{};
    }
    std::optional<Error> creation;
    queue_.sync([&] {
        file_ = file;
        settings_ = settings;
        writer_.reset();
        fitter_.reset();
        lastTime_.reset();
        forgetSound();
        if (settings.width >= 1 && settings.height >= 1) {
            creation = createWriterForFrame(settings.width, settings.height);
        }
    });
    if (creation) {
        if (error != nullptr) {
            *error = *creation;
        }
        return false;
    }

    std::lock_guard lock(lock_);
    pacer_ = FramePacer(settings.framesPerSecond, startTime);
    hasFirstFrame_ = !std::isnan(startTime);
    firstFrameTime_ = startTime;
    framesWritten_ = 0;
    framesDropped_ = 0;
    framesPending_ = 0;
    startSecondEnd_.reset();
    firstWrittenTime_ = 0;
    recordsSound_ = settings.recordsSound;
    waitingSound_.clear();
    soundWaiting_ = 0;
    soundWritten_ = 0;
    soundLeftOut_ = 0;
    recording_ = true;
    return true;
}

std::optional<Error> MovieRecorder::createWriterForFrame(int64_t width, int64_t height) {
    int64_t w = settings_.width >= 1 && settings_.height >= 1 ? settings_.width : width;
    int64_t h = settings_.width >= 1 && settings_.height >= 1 ? settings_.height : height;
    const auto even = [](int64_t v) { return std::max<int64_t>(2, v - (v % 2)); };
    w = even(w);
    h = even(h);
    if (w > gpu::Texture::kMaxDimension || h > gpu::Texture::kMaxDimension) {
        return movieError("A " + MovieRecorderSettings::nameForCodec(settings_.codec) +
                          " movie of " + std::to_string(w) + " × " + std::to_string(h) +
                          " cannot be written");
    }
    MovieWriter::Options options;
    options.file = file_;
    options.codec = settings_.codec;
    options.width = static_cast<int>(w);
    options.height = static_cast<int>(h);
    options.framesPerSecond = settings_.framesPerSecond;
    options.megabitsPerSecond = settings_.megabitsPerSecond;
    options.recordsSound = settings_.recordsSound;
    options.timecode = settings_.timecode;
    Error error;
    auto writer = MovieWriter::open(options, &error);
    if (!writer) {
        return error;
    }
    writer_ = std::move(writer);
    fitter_ = std::make_unique<FrameFitter>();
    std::lock_guard lock(lock_);
    outputSize_ = Size{static_cast<double>(w), static_cast<double>(h)};
    return std::nullopt;
}

// --- Frames --------------------------------------------------------------------------------

uint64_t MovieRecorder::maxFramesInFlightAt(double movieTime) const {
    const bool startSecond = !startSecondEnd_ || movieTime < *startSecondEnd_;
    return startSecond ? kMaxFramesInFlightAtStart : kMaxFramesInFlight;
}

void MovieRecorder::appendTexture(const gpu::TextureRef& texture, bool flipped, double time,
                                  bool keptWhilePending) {
    if (!texture) {
        return;
    }
    int64_t movieTime = 0;
    bool copy = false;
    {
        std::lock_guard lock(lock_);
        if (!recording_) {
            return;
        }
        const auto decision = pacer_.decisionForFrameAtTime(time);
        if (!decision.keep) {
            return;
        }
        if (!hasFirstFrame_) {
            hasFirstFrame_ = true;
            firstFrameTime_ = time;
        }
        if (!startSecondEnd_) {
            startSecondEnd_ = decision.time + kStartSeconds;
        }
        if (framesPending_ >= maxFramesInFlightAt(decision.time)) {
            ++framesDropped_;
            return;
        }
        copy = !keptWhilePending && framesPending_ >= kMaxFramesInFlight;
        ++framesPending_;
        framesInFlight_.enter();
        movieTime = std::llround(decision.time * kPictureTimescale);
    }
    gpu::TextureRef held = copy ? texture->copy() : texture;
    if (!held) {
        frameDone(false);  // no memory for the copy: dropped, as a frame without room is
        return;
    }
    queue_.async([self = shared_from_this(), held = std::move(held), flipped, movieTime] {
        self->drawTexture(held, flipped, movieTime);
    });
}

bool MovieRecorder::wantsFrameAtTime(double time) {
    std::lock_guard lock(lock_);
    if (!recording_ || !pacer_.wouldKeepFrameAtTime(time)) {
        return false;
    }
    const double movieTime = hasFirstFrame_ ? time - firstFrameTime_ : 0;
    if (framesPending_ >= maxFramesInFlightAt(movieTime)) {
        ++framesDropped_;
        return false;
    }
    return true;
}

void MovieRecorder::drawTexture(const gpu::TextureRef& texture, bool flipped, int64_t time) {
    if (!writer_) {
        if (!isRecording()) {
            frameDone(false);
            return;
        }
        if (auto error = createWriterForFrame(texture->width(), texture->height())) {
            frameDone(false);
            failWithError(*error);
            return;
        }
    }
    if (writer_->hasFailed()) {
        frameDone(false);
        failWithError(writer_->error().value_or(movieError("The movie could not be written")));
        return;
    }
    AVFrame* frame = writer_->pictureFrame();
    if (frame != nullptr && !fitter_->draw(*texture, flipped, frame, writer_->hasAlpha())) {
        frame = nullptr;
    }
    appendFrameAtTime(frame, time);
}

void MovieRecorder::appendFrameAtTime(AVFrame* frame, int64_t time) {
    const bool stale = lastTime_ && time <= *lastTime_;
    bool written = false;
    if (frame != nullptr && !stale && writer_ && writer_->isWriting()) {
        // Sound waiting to be written goes in ahead of the picture, so both tracks advance
        // together.
        writeWaitingSound();
        if (writer_ && writer_->appendPicture(frame, time)) {
            lastTime_ = time;
            written = true;
        }
    }
    frameDone(written);
    writeWaitingSound();
    if (writer_ && writer_->hasFailed() && isRecording()) {
        failWithError(writer_->error().value_or(movieError("The movie could not be written")));
    }
}

void MovieRecorder::frameDone(bool written) {
    {
        std::lock_guard lock(lock_);
        --framesPending_;
        if (written) {
            if (framesWritten_ == 0) {
                firstWrittenTime_ = hostTime();
            }
            ++framesWritten_;
        } else {
            ++framesDropped_;
        }
    }
    framesInFlight_.leave();
}

void MovieRecorder::failWithError(const Error& error) {
    FailureHandler handler;
    {
        std::lock_guard lock(lock_);
        const bool was = recording_;
        recording_ = false;
        if (!was) {
            return;
        }
        finishing_ = true;
        handler = failureHandler_;
    }
    if (writer_ && !lastTime_) {
        writer_->cancel();
    }
    dropWriter();
    forgetSound();
    framesInFlight_.notify([self = shared_from_this()] {
        self->queue_.async([self] {
            std::lock_guard lock(self->lock_);
            self->finishing_ = false;
        });
    });
    if (handler) {
        callOnMain([handler, error] { handler(error); });
    }
}

void MovieRecorder::dropWriter() {
    writer_.reset();
    fitter_.reset();
}

// --- Sound ---------------------------------------------------------------------------------

void MovieRecorder::appendSound(const std::shared_ptr<const SourceSound>& sound, double time) {
    if (!sound || sound->frameCount() == 0) {
        return;
    }
    double wait = 0;
    {
        std::lock_guard lock(lock_);
        if (!recording_ || !recordsSound_) {
            return;
        }
        wait = soundBehindGap_ ? kWaitBehindGap : kWaitNormally;
    }
    std::shared_ptr<const SourceSound> kept = sound;
    double cutOff = 0;
    if (sound->duration() > wait + kEpsilon) {
        const auto keep = static_cast<uint64_t>(std::llround(wait * sound->sampleRate()));
        if (keep < sound->frameCount()) {
            kept = sound->soundFromFrame(sound->frameCount() - keep);
            cutOff = sound->duration() - (kept ? kept->duration() : 0);
        }
    }
    bool schedule = false;
    {
        std::lock_guard lock(lock_);
        soundLeftOut_ += cutOff;
        if (!recording_ || !recordsSound_ || !kept) {
            return;
        }
        waitingSound_.push_back(WaitingSound{kept, time});
        soundWaiting_ += kept->duration();
        const double limit = (soundBehindGap_ ? kWaitBehindGap : kWaitNormally) + kEpsilon;
        while (waitingSound_.size() >= 2 && soundWaiting_ > limit) {
            const double duration = waitingSound_.front().sound->duration();
            waitingSound_.pop_front();
            soundWaiting_ -= duration;
            soundLeftOut_ += duration;
        }
        if (!soundWriteScheduled_) {
            soundWriteScheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        scheduleSoundWrite();
    }
}

void MovieRecorder::scheduleSoundWrite() {
    queue_.async([self = shared_from_this()] {
        {
            std::lock_guard lock(self->lock_);
            self->soundWriteScheduled_ = false;
        }
        self->writeWaitingSound();
    });
}

void MovieRecorder::writeWaitingSound() {
    if (!writer_ || !writer_->isWriting() || !settings_.recordsSound) {
        return;
    }
    if (!soundTimeline_) {
        std::lock_guard lock(lock_);
        if (!hasFirstFrame_) {
            return;
        }
        soundTimeline_.emplace(firstFrameTime_);
    }
    int64_t budget = kSilenceBudget;
    bool budgetSpent = false;
    for (;;) {
        while (!placedSound_.empty()) {
            auto& entry = placedSound_.front();
            if (auto* sound = std::get_if<std::shared_ptr<const SourceSound>>(&entry)) {
                if (!appendSamples((*sound)->samples(),
                                   static_cast<int64_t>((*sound)->frameCount()))) {
                    return;
                }
                placedSound_.pop_front();
                continue;
            }
            const int64_t count = std::get<int64_t>(entry);
            if (count < 1) {
                placedSound_.pop_front();
                continue;
            }
            if (budget <= 0) {
                budgetSpent = true;
                break;
            }
            const int64_t k = std::min(count, budget);
            if (!appendSamples(nullptr, k)) {
                return;
            }
            budget -= k;
            if (k == count) {
                placedSound_.pop_front();
            } else {
                entry = count - k;
            }
        }
        if (budgetSpent || !placedSound_.empty()) {
            break;
        }
        WaitingSound next;
        {
            std::lock_guard lock(lock_);
            if (waitingSound_.empty()) {
                break;
            }
            next = std::move(waitingSound_.front());
            waitingSound_.pop_front();
            soundWaiting_ -= next.sound->duration();
        }
        placeSound(next.sound, next.time);
    }
    const bool silencePending =
        std::any_of(placedSound_.begin(), placedSound_.end(),
                    [](const auto& e) { return std::holds_alternative<int64_t>(e); });
    bool schedule = false;
    {
        std::lock_guard lock(lock_);
        if (silencePending) {
            soundBehindGap_ = true;
        } else if (soundBehindGap_) {
            soundBehindGap_ = soundWaiting_ > kWaitNormally + kEpsilon;
        }
        if (placedSound_.empty() && waitingSound_.empty()) {
            return;
        }
        if (!soundWriteScheduled_) {
            soundWriteScheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        // Long silences are written a second per pass, so frames queued meanwhile go in
        // between the passes.
        scheduleSoundWrite();
    }
}

void MovieRecorder::placeSound(const std::shared_ptr<const SourceSound>& sound,
                               double arrivedAtTime) {
    const double before = soundTimeline_->silenceAdded();
    std::vector<std::shared_ptr<const SourceSound>> pieces;
    try {
        pieces = soundTimeline_->piecesForSound(sound, arrivedAtTime);
    } catch (const std::bad_alloc&) {
        // No memory for the silence before it: the buffer is left out, recording goes on.
        std::lock_guard lock(lock_);
        soundLeftOut_ += sound->duration();
        return;
    }
    if (pieces.empty()) {
        return;
    }
    const int64_t gap = std::llround((soundTimeline_->silenceAdded() - before) * kSoundRate);
    if (sound->sampleRate() != soundRate_ || gap >= 1) {
        endConversion();
    }
    soundRate_ = sound->sampleRate();
    if (!converter_ && soundRate_ != kSoundRate) {
        converter_ = SoundConverter::make(soundRate_);
    }
    if (gap >= 1) {
        placedSound_.emplace_back(gap);
    }
    std::shared_ptr<const SourceSound> last = pieces.back();
    if (converter_) {
        last = converter_->convert(last);
    } else if (soundRate_ != kSoundRate) {
        last = nullptr;  // a rate that cannot be converted is left out
    }
    if (last) {
        placedSound_.emplace_back(std::move(last));
    }
}

void MovieRecorder::endConversion() {
    if (!converter_) {
        return;
    }
    if (auto rest = converter_->convert(nullptr)) {
        placedSound_.emplace_back(std::move(rest));
    }
    converter_.reset();
}

bool MovieRecorder::appendSamples(const float* samples, int64_t frameCount) {
    if (!writer_ || !writer_->appendSound(samples, frameCount)) {
        return false;
    }
    soundPosition_ += frameCount;
    std::lock_guard lock(lock_);
    soundWritten_ += static_cast<double>(frameCount) / kSoundRate;
    return true;
}

void MovieRecorder::writeLastSound() {
    if (!writer_ || !settings_.recordsSound) {
        return;
    }
    bool flushed = false;
    int stalled = 0;
    while (writer_ && writer_->isWriting()) {
        const int64_t position = soundPosition_;
        writeWaitingSound();
        size_t waiting = 0;
        {
            std::lock_guard lock(lock_);
            waiting = waitingSound_.size();
        }
        if (waiting == 0 && !flushed) {
            if (soundTimeline_) {
                endConversion();
                writeWaitingSound();
            }
            flushed = true;
        }
        if (waiting == 0 && placedSound_.empty()) {
            return;
        }
        if (soundPosition_ == position) {
            if (++stalled >= 5000) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            stalled = 0;
        }
    }
    double unwritten = 0;
    for (const auto& entry : placedSound_) {
        if (auto* sound = std::get_if<std::shared_ptr<const SourceSound>>(&entry)) {
            unwritten += (*sound)->duration();
        }
    }
    std::lock_guard lock(lock_);
    soundLeftOut_ += unwritten + soundWaiting_;
}

void MovieRecorder::forgetSound() {
    soundTimeline_.reset();
    converter_.reset();
    soundRate_ = 0;
    placedSound_.clear();
    soundPosition_ = 0;
    std::lock_guard lock(lock_);
    waitingSound_.clear();
    soundWaiting_ = 0;
    soundBehindGap_ = false;
}

// --- Finish --------------------------------------------------------------------------------

void MovieRecorder::finishAtTime(double endTime, Completion completion) {
    double end = 0;
    {
        std::lock_guard lock(lock_);
        const bool was = recording_;
        recording_ = false;
        if (!was) {
            callOnMain([completion] {
                if (completion) {
                    completion(movieError("There is no recording in progress"));
                }
            });
            return;
        }
        finishing_ = true;
        end = hasFirstFrame_ ? endTime - firstFrameTime_ : 0;
    }
    framesInFlight_.notify([self = shared_from_this(), end, completion] {
        self->queue_.async([self, end, completion] {
            const bool hasFrames = self->writer_ && self->lastTime_.has_value();
            if (hasFrames) {
                self->writeLastSound();
            }
            self->forgetSound();
            std::unique_ptr<MovieWriter> writer = std::move(self->writer_);
            self->dropWriter();
            std::optional<Error> outcome;
            if (hasFrames) {
                const int64_t endTicks =
                    std::isfinite(end) ? std::llround(end * kPictureTimescale) : 0;
                if (!writer->finish(endTicks)) {
                    outcome =
                        writer->error().value_or(movieError("The movie could not be finished"));
                }
            } else {
                if (writer) {
                    writer->cancel();
                }
                outcome = movieError("No frame was received, so no movie was written");
            }
            writer.reset();
            {
                std::lock_guard lock(self->lock_);
                self->finishing_ = false;
            }
            self->callOnMain([completion, outcome] {
                if (completion) {
                    completion(outcome);
                }
            });
        });
    });
}

// --- Properties ----------------------------------------------------------------------------

MovieRecorder::FailureHandler MovieRecorder::failureHandler() const {
    std::lock_guard lock(lock_);
    return failureHandler_;
}

void MovieRecorder::setFailureHandler(FailureHandler handler) {
    std::lock_guard lock(lock_);
    failureHandler_ = std::move(handler);
}

bool MovieRecorder::isRecording() const {
    std::lock_guard lock(lock_);
    return recording_;
}

uint64_t MovieRecorder::framesWritten() const {
    std::lock_guard lock(lock_);
    return framesWritten_;
}

uint64_t MovieRecorder::framesDropped() const {
    std::lock_guard lock(lock_);
    return framesDropped_;
}

uint64_t MovieRecorder::framesPending() const {
    std::lock_guard lock(lock_);
    return framesPending_;
}

double MovieRecorder::soundWritten() const {
    std::lock_guard lock(lock_);
    return soundWritten_;
}

double MovieRecorder::soundLeftOut() const {
    std::lock_guard lock(lock_);
    return soundLeftOut_;
}

double MovieRecorder::startLatency() const {
    std::lock_guard lock(lock_);
    if (framesWritten_ == 0 || !hasFirstFrame_) {
        return std::nan("");
    }
    return firstWrittenTime_ - firstFrameTime_;
}

Size MovieRecorder::outputSize() const {
    std::lock_guard lock(lock_);
    return outputSize_;
}

}  // namespace zarvo
