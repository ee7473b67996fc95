#include "engine/MovieWriter.h"

#include "engine/Codec.h"
#include "engine/MovieEncoders.h"
#include "engine/MovieError.h"
#include "engine/MovieFinisher.h"
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace zarvo {

namespace {

constexpr AVRational kPictureTimeBase{1, 60000};
constexpr AVRational kSoundTimeBase{1, 48000};
constexpr int64_t kShortestLastPicture = 250;  // 1/240 s in 1/60000 s
constexpr int64_t kKeyFrameInterval = 120000;  // 2 s in 1/60000 s
constexpr int kSoundChunk = 1024;
constexpr int kIOBufferSize = 1 << 16;
// Frames an encoder that works on several at once has let go of, kept to draw the next
// pictures into.
constexpr size_t kSparePictures = 3;

struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// An error of the file writer underneath: the system's own message for a failed system call,
// else the media library's.
Error platformError(int code, const char* fallback) {
    if (code < 0 && -code < 4096 && AVERROR(-code) == code) {
        return systemCallError(-code);
    }
    if (code < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        if (av_strerror(code, text, sizeof text) == 0) {
            return Error{"FFmpeg", code, text};
        }
    }
    return movieError(fallback);
}

void quietLibraryLogs() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

// The H.264 encoder asks for transparent huge pages for its large buffers. Where the system
// grants them on request only, each fault on such a buffer makes the kernel compact memory
// to find 2 MB at once, on the encoder's thread: at the start of a take, with every movie's
// encoder touching its buffers for the first time, that stalled the encoders for most of a
// second and frames were dropped. Small pages cost the same work spread over the take, so
// the process keeps to them.
void keepToSmallPages() {
    static std::once_flag once;
    std::call_once(once, [] { ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0); });
}

}  // namespace

struct MovieWriter::State {
    enum class Status { Writing, Failed, Finished, Cancelled };

    Options options;
    Codec codec = Codec::h264;
    int fd = -1;
    int ioErrno = 0;       // the last failed system call's error, for the message
    off_t wholeSize = -1;  // see noteWholeSize()
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVStream* videoStream = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* audioStream = nullptr;
    AVFrame* picture = nullptr;
    std::vector<std::unique_ptr<AVFrame, FrameFree>> sparePictures;  // see pictureFrame()
    AVFrame* soundFrame = nullptr;
    AVPacket* packet = nullptr;
    AVPacket* heldPicture = nullptr;  // the newest picture packet, whose duration is not known
    bool holding = false;
    std::vector<float> pendingSound;  // interleaved, fewer than one encoder frame's worth
    int64_t soundFed = 0;             // frames handed to the sound encoder
    int64_t soundAppended = 0;
    int64_t pictures = 0;
    int64_t lastKeyTime = -1;
    Status status = Status::Writing;
    std::optional<Error> error;

    ~State() { release(); }

    void release() {
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        av_frame_free(&picture);
        av_frame_free(&soundFrame);
        av_packet_free(&packet);
        av_packet_free(&heldPicture);
        if (format != nullptr) {
            format->pb = nullptr;
            avformat_free_context(format);
            format = nullptr;
        }
        if (io != nullptr) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    bool fail(int code, const char* fallback) {
        if (status == Status::Writing) {
            status = Status::Failed;
            if (ioErrno != 0) {
                error = platformError(AVERROR(ioErrno), fallback);
                cutToWholeSize();
            } else {
                error = platformError(code, fallback);
            }
        }
        return false;
    }

    // Notes the file's size while all that was handed to it is on disk: the muxer writes whole
    // fragments, so this is the end of the last one.
    void noteWholeSize() {
        struct stat info {};
        if (io != nullptr && io->buf_ptr == io->buffer && fstat(fd, &info) == 0) {
            wholeSize = info.st_size;
        }
    }

    // After a failed write (a full disk, a size limit), the part of a fragment that made it to
    // disk is cut off: a broken box at the end would keep readers from opening the movie at all.
    void cutToWholeSize() {
        if (fd >= 0 && wholeSize >= 0 && ::ftruncate(fd, wholeSize) != 0) {
            wholeSize = -1;
        }
    }

    static int writeToFile(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<State*>(opaque);
        int failure = 0;
        if (size > 0 && !writeAll(self->fd, data, static_cast<size_t>(size), &failure)) {
            self->ioErrno = failure;
            return AVERROR(failure);
        }
        return size;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<State*>(opaque);
        if (whence == AVSEEK_SIZE) {
            struct stat info {};
            return fstat(self->fd, &info) == 0 ? info.st_size : AVERROR(errno);
        }
        const off_t result = ::lseek(self->fd, offset, whence & ~AVSEEK_FORCE);
        if (result < 0) {
            self->ioErrno = errno;
            return AVERROR(errno);
        }
        return result;
    }

    // Writes a packet of the encoder's time base to its stream.
    bool writePacket(AVPacket* pkt, AVCodecContext* encoder, AVStream* stream) {
        av_packet_rescale_ts(pkt, encoder->time_base, stream->time_base);
        pkt->stream_index = stream->index;
        noteWholeSize();
        const int result = av_interleaved_write_frame(format, pkt);
        if (result < 0) {
            return fail(result, "The movie could not be written");
        }
        return true;
    }

    // A picture packet is written once the next one tells how long it lasts.
    bool takePicturePacket(AVPacket* pkt) {
        if (holding) {
            heldPicture->duration = std::max<int64_t>(1, pkt->pts - heldPicture->pts);
            holding = false;
            if (!writePacket(heldPicture, video, videoStream)) {
                return false;
            }
        }
        av_packet_move_ref(heldPicture, pkt);
        holding = true;
        return true;
    }

    bool drainPictures() {
        for (;;) {
            const int result = avcodec_receive_packet(video, packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return true;
            }
            if (result < 0) {
                return fail(result, "The movie could not be written");
            }
            if (!takePicturePacket(packet)) {
                return false;
            }
        }
    }

    bool drainSound() {
        for (;;) {
            const int result = avcodec_receive_packet(audio, packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
                return true;
            }
            if (result < 0) {
                return fail(result, "The movie could not be written");
            }
            if (!writePacket(packet, audio, audioStream)) {
                return false;
            }
        }
    }

    // Encodes count frames from the front of pendingSound.
    bool encodeSound(int count) {
        soundFrame->nb_samples = count;
        if (av_frame_make_writable(soundFrame) < 0) {
            return fail(AVERROR(ENOMEM), "The movie could not be written");
        }
        const float* in = pendingSound.data();
        // Samples that are not numbers become silence and the rest is kept in full scale: the
        // AAC encoder refuses the whole movie's sound after a single infinite sample.
        const auto playable = [](float sample) {
            return std::isfinite(sample) ? std::clamp(sample, -1.0f, 1.0f) : 0.0f;
        };
        if (audio->sample_fmt == AV_SAMPLE_FMT_FLTP) {
            auto* left = reinterpret_cast<float*>(soundFrame->data[0]);
            auto* right = reinterpret_cast<float*>(soundFrame->data[1]);
            for (int i = 0; i < count; ++i) {
                left[i] = playable(in[2 * i]);
                right[i] = playable(in[2 * i + 1]);
            }
        } else {
            auto* out = reinterpret_cast<int32_t*>(soundFrame->data[0]);
            for (int i = 0; i < 2 * count; ++i) {
                const double sample = playable(in[i]);
                out[i] = static_cast<int32_t>(std::lround(sample * 2147483647.0));
            }
        }
        soundFrame->pts = soundFed;
        soundFed += count;
        pendingSound.erase(pendingSound.begin(), pendingSound.begin() + 2 * count);
        const int result = avcodec_send_frame(audio, soundFrame);
        if (result < 0) {
            return fail(result, "The movie could not be written");
        }
        return drainSound();
    }

    // --- Opening: each step returns why it failed ---

    Error cannotWrite() const {
        return movieError(std::string("A ") + describe(codec).name + " movie of " +
                          std::to_string(options.width) + " × " + std::to_string(options.height) +
                          " cannot be written");
    }

    // The picture encoder comes first: a size or codec it refuses leaves no file behind.
    std::optional<Error> preparePictureEncoder() {
        video =
            openPictureEncoder(PictureEncoding{codec, options.width, options.height,
                                               options.framesPerSecond, options.megabitsPerSecond});
        if (video == nullptr) {
            return cannotWrite();
        }
        return std::nullopt;
    }

    // The file, created here and never over an existing one, and the muxer writing to it.
    std::optional<Error> createFile() {
        fd = ::open(options.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            return platformError(AVERROR(errno), "The movie file could not be created");
        }
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIOBufferSize));
        io = avio_alloc_context(buffer, kIOBufferSize, 1, this, nullptr, &State::writeToFile,
                                &State::seek);
        if (io == nullptr) {
            av_free(buffer);
        }
        if (io == nullptr || avformat_alloc_output_context2(&format, nullptr, "mov", nullptr) < 0) {
            return movieError("The movie file could not be created");
        }
        format->pb = io;
        // Sound that lags the pictures must not hold picture packets in memory for long.
        format->max_interleave_delta = 2500000;
        return std::nullopt;
    }

    std::optional<Error> addPictureStream() {
        videoStream = avformat_new_stream(format, nullptr);
        if (videoStream == nullptr ||
            avcodec_parameters_from_context(videoStream->codecpar, video) < 0) {
            return movieError("The movie file could not be set up");
        }
        videoStream->time_base = kPictureTimeBase;
        if (codec == Codec::hevc) {
            videoStream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
        }
        if (options.timecode) {
            // The muxer adds a timecode track for a picture stream that carries a start value,
            // counted at the stream's average frame rate, and names its reel after the stream's
            // "reel_name".
            const MovieTimecode& timecode = *options.timecode;
            const TimecodeRate& rate = timecode.rate;
            videoStream->avg_frame_rate = rate.dropFrame || rate.exact != rate.framesPerSecond
                                              ? AVRational{rate.framesPerSecond * 1000, 1001}
                                              : AVRational{rate.framesPerSecond, 1};
            av_dict_set(&videoStream->metadata, "timecode",
                        timecodeText(timecode.startFrame, rate).c_str(), 0);
            if (!timecode.reelName.empty()) {
                av_dict_set(&videoStream->metadata, "reel_name", timecode.reelName.c_str(), 0);
            }
        }
        return std::nullopt;
    }

    // The frame sound is gathered in for the encoder.
    bool makeSoundFrame() {
        soundFrame = av_frame_alloc();
        soundFrame->format = audio->sample_fmt;
        soundFrame->sample_rate = 48000;
        av_channel_layout_copy(&soundFrame->ch_layout, &audio->ch_layout);
        soundFrame->nb_samples = kSoundChunk;
        return av_frame_get_buffer(soundFrame, 0) >= 0;
    }

    std::optional<Error> addSoundStream() {
        audio = openSoundEncoder(codec);
        bool ok = audio != nullptr;
        if (ok) {
            audioStream = avformat_new_stream(format, nullptr);
            ok = audioStream != nullptr &&
                 avcodec_parameters_from_context(audioStream->codecpar, audio) >= 0;
        }
        if (ok) {
            audioStream->time_base = kSoundTimeBase;
            ok = makeSoundFrame();
        }
        if (!ok) {
            return movieError("The movie's sound track could not be set up");
        }
        return std::nullopt;
    }

    std::optional<Error> writeHeader() {
        AVDictionary* muxerOptions = nullptr;
        // The header waits for the first fragment, so that it can say where each track starts:
        // a first picture after time 0 and the sound encoder's priming are kept in edit lists
        // (in the picture's own time scale) instead of being shifted onto time 0.
        av_dict_set(&muxerOptions, "movflags", "+empty_moov+delay_moov", 0);
        av_dict_set(&muxerOptions, "movie_timescale", "60000", 0);
        av_dict_set(&muxerOptions, "frag_duration", "10000000", 0);
        const int written = avformat_write_header(format, &muxerOptions);
        av_dict_free(&muxerOptions);
        if (written < 0) {
            return ioErrno != 0 ? platformError(AVERROR(ioErrno), "")
                                : platformError(written, "The movie file could not be written");
        }
        return std::nullopt;
    }

    // The frame pictures are drawn into, and the packets.
    std::optional<Error> makePictureFrame() {
        picture = av_frame_alloc();
        packet = av_packet_alloc();
        heldPicture = av_packet_alloc();
        picture->format = video->pix_fmt;
        picture->width = options.width;
        picture->height = options.height;
        // Encoders that describe the colours in each picture (ProRes) take them from the frame.
        picture->color_primaries = video->color_primaries;
        picture->color_trc = video->color_trc;
        picture->colorspace = video->colorspace;
        picture->color_range = video->color_range;
        if (av_frame_get_buffer(picture, 0) < 0) {
            return movieError("A movie of " + std::to_string(options.width) + " × " +
                              std::to_string(options.height) + " cannot be written");
        }
        return std::nullopt;
    }

    // After a failed opening: a file created here is removed, nothing is left behind.
    void discardFile() {
        const bool created = fd >= 0;
        release();
        if (created) {
            ::unlink(options.file.c_str());
        }
    }
};

int64_t MovieWriter::averageBitRate(int64_t codec, int width, int height, double framesPerSecond,
                                    double megabitsPerSecond) {
    return zarvo::averageBitRate(codecAt(codec), width, height, framesPerSecond, megabitsPerSecond);
}

std::unique_ptr<MovieWriter> MovieWriter::open(const Options& options, Error* error) {
    quietLibraryLogs();
    keepToSmallPages();
    auto state = std::make_unique<State>();
    state->options = options;
    state->codec = codecAt(options.codec);
    std::optional<Error> failure = state->preparePictureEncoder();
    if (!failure) {
        failure = state->createFile();
    }
    if (!failure) {
        failure = state->addPictureStream();
    }
    if (!failure && options.recordsSound) {
        failure = state->addSoundStream();
    }
    if (!failure) {
        failure = state->writeHeader();
    }
    if (!failure) {
        failure = state->makePictureFrame();
    }
    if (failure) {
        state->discardFile();
        if (error != nullptr) {
            *error = std::move(*failure);
        }
        return nullptr;
    }
    return std::unique_ptr<MovieWriter>(new MovieWriter(std::move(state)));
}

MovieWriter::MovieWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}

MovieWriter::~MovieWriter() {
    auto& s = *state_;
    if (s.status == State::Status::Writing || s.status == State::Status::Failed) {
        // Left as it stands: when the file can still be written, the fragment in memory and the
        // index are written too, so nothing that was recorded is lost.
        if (s.ioErrno == 0 && s.format != nullptr) {
            if (s.holding) {
                s.heldPicture->duration = kShortestLastPicture;
                s.holding = false;
                s.writePacket(s.heldPicture, s.video, s.videoStream);
            }
            if (s.ioErrno == 0) {
                av_write_trailer(s.format);
                avio_flush(s.io);
            }
        }
    }
}

int MovieWriter::width() const {
    return state_->options.width;
}
int MovieWriter::height() const {
    return state_->options.height;
}
bool MovieWriter::hasAlpha() const {
    return keepsAlpha(state_->codec);
}

AVFrame* MovieWriter::pictureFrame() {
    // One frame serves every picture while the encoder copies what it keeps. An encoder working
    // on several frames at once still holds the last ones: the next picture is then drawn into
    // one it has let go of, or else into new memory (every pixel of it is drawn, so nothing
    // needs copying over), and the frame it holds is kept for later. Fresh memory for every
    // picture would cost the page faults of a whole frame each time.
    AVFrame* picture = state_->picture;
    if (av_frame_is_writable(picture)) {
        return picture;
    }
    auto& spares = state_->sparePictures;
    for (auto& spare : spares) {
        if (av_frame_is_writable(spare.get())) {
            AVFrame* released = spare.release();
            spare.reset(picture);
            state_->picture = released;
            return released;
        }
    }
    AVFrame* fresh = av_frame_alloc();
    if (fresh == nullptr || av_frame_copy_props(fresh, picture) < 0) {
        av_frame_free(&fresh);
        return nullptr;
    }
    fresh->format = picture->format;
    fresh->width = picture->width;
    fresh->height = picture->height;
    if (av_frame_get_buffer(fresh, 0) < 0) {
        av_frame_free(&fresh);
        return nullptr;
    }
    if (spares.size() < kSparePictures) {
        spares.emplace_back(state_->picture);
    } else {
        av_frame_free(&state_->picture);
    }
    state_->picture = fresh;
    return fresh;
}

bool MovieWriter::appendPicture(AVFrame* frame, int64_t time) {
    auto& s = *state_;
    if (s.status != State::Status::Writing) {
        return false;
    }
    frame->pts = time;
    // Key frames at most 2 s apart, whatever the frame rate.
    if (s.lastKeyTime < 0 || time - s.lastKeyTime >= kKeyFrameInterval - 500) {
        frame->pict_type = AV_PICTURE_TYPE_I;
        s.lastKeyTime = time;
    } else {
        frame->pict_type = AV_PICTURE_TYPE_NONE;
    }
    const int result = avcodec_send_frame(s.video, frame);
    if (result < 0) {
        return s.fail(result, "The movie could not be written");
    }
    if (!s.drainPictures()) {
        return false;
    }
    ++s.pictures;
    return true;
}

bool MovieWriter::appendSound(const float* samples, int64_t frameCount) {
    auto& s = *state_;
    if (s.status != State::Status::Writing || s.audio == nullptr || frameCount < 0) {
        return false;
    }
    const int chunk = s.audio->frame_size > 0 ? s.audio->frame_size : kSoundChunk;
    int64_t left = frameCount;
    while (left > 0) {
        const int64_t take = std::min<int64_t>(left, chunk);
        const size_t before = s.pendingSound.size();
        s.pendingSound.resize(before + static_cast<size_t>(2 * take), 0.0f);
        if (samples != nullptr) {
            std::memcpy(s.pendingSound.data() + before, samples + 2 * (frameCount - left),
                        static_cast<size_t>(2 * take) * sizeof(float));
        }
        left -= take;
        while (s.pendingSound.size() >= static_cast<size_t>(2 * chunk)) {
            if (!s.encodeSound(chunk)) {
                return false;
            }
        }
    }
    s.soundAppended += frameCount;
    return true;
}

bool MovieWriter::finish(int64_t endTime) {
    auto& s = *state_;
    if (s.status != State::Status::Writing) {
        return false;
    }
    if (s.audio != nullptr) {
        if (!s.pendingSound.empty() &&
            !s.encodeSound(static_cast<int>(s.pendingSound.size() / 2))) {
            return false;
        }
        if (avcodec_send_frame(s.audio, nullptr) < 0 || !s.drainSound()) {
            return s.fail(AVERROR_UNKNOWN, "The movie could not be finished");
        }
    }
    if (avcodec_send_frame(s.video, nullptr) < 0 || !s.drainPictures()) {
        return s.fail(AVERROR_UNKNOWN, "The movie could not be finished");
    }
    if (s.holding) {
        s.heldPicture->duration = std::max(endTime - s.heldPicture->pts, kShortestLastPicture);
        s.holding = false;
        if (!s.writePacket(s.heldPicture, s.video, s.videoStream)) {
            return false;
        }
    }
    s.noteWholeSize();
    int result = av_write_trailer(s.format);
    if (result >= 0) {
        avio_flush(s.io);
        result = s.io->error;
    }
    if (result < 0 || s.ioErrno != 0) {
        return s.fail(result, "The movie could not be finished");
    }
    if (::fsync(s.fd) != 0 && errno != EINVAL) {
        s.ioErrno = errno;
        return s.fail(AVERROR(errno), "The movie could not be finished");
    }
    // The fragments are whole on disk; the movie becomes an ordinary one, which editors handle
    // better. When that fails, the fragmented movie is left as it was, and plays.
    MovieFinisher::Options finishing;
    finishing.onStep = s.options.finishingStep;
    if (auto failure = MovieFinisher::finish(s.fd, finishing)) {
        s.status = State::Status::Failed;
        s.error = std::move(failure);
        s.release();
        return false;
    }
    s.status = State::Status::Finished;
    s.release();
    return true;
}

void MovieWriter::cancel() {
    auto& s = *state_;
    if (s.status == State::Status::Finished || s.status == State::Status::Cancelled) {
        return;
    }
    s.status = State::Status::Cancelled;
    s.release();
    ::unlink(s.options.file.c_str());
}

bool MovieWriter::isWriting() const {
    return state_->status == State::Status::Writing;
}
bool MovieWriter::hasFailed() const {
    return state_->status == State::Status::Failed;
}
const std::optional<Error>& MovieWriter::error() const {
    return state_->error;
}
int64_t MovieWriter::picturesWritten() const {
    return state_->pictures;
}
int64_t MovieWriter::soundFramesWritten() const {
    return state_->soundAppended;
}

}  // namespace zarvo
