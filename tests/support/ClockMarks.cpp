#include "tests/support/ClockMarks.h"

#include <cmath>
#include <cstdlib>

#include "tests/support/MovieProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace zarvo::test {

namespace {

// A sound sample louder than this starts a burst; the bursts are full scale, the rest silence.
constexpr float kBurstLevel = 0.5f;
// A picture whose mean luma is above this is a mark; the others are black.
constexpr int kWhiteLuma = 128;

// Presentation times of the pictures whose centre row is white, decoded with the media library;
// the demuxer applies the track's edits, so the times are on the movie's time line.
bool readWhitePictures(const std::filesystem::path& file, std::vector<double>* times,
                       std::string* error) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        *error = "cannot open " + file.string();
        return false;
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVCodecContext* decoder = nullptr;
    if (index >= 0) {
        const AVStream* stream = format->streams[index];
        decoder = avcodec_alloc_context3(avcodec_find_decoder(stream->codecpar->codec_id));
        if (decoder == nullptr || avcodec_parameters_to_context(decoder, stream->codecpar) < 0 ||
            avcodec_open2(decoder, decoder->codec, nullptr) < 0) {
            avcodec_free_context(&decoder);
        }
    }
    if (decoder == nullptr) {
        avformat_close_input(&format);
        *error = "no picture track to decode";
        return false;
    }
    const AVRational timeBase = format->streams[index]->time_base;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto take = [&] {
        while (avcodec_receive_frame(decoder, frame) >= 0) {
            // The luma of the middle row: the whole picture is one level.
            const uint8_t* row = frame->data[0] + (frame->height / 2) * frame->linesize[0];
            int64_t sum = 0;
            for (int x = 0; x < frame->width; ++x) {
                sum += row[x];
            }
            if (frame->width > 0 && sum / frame->width > kWhiteLuma) {
                times->push_back(static_cast<double>(frame->best_effort_timestamp) *
                                 av_q2d(timeBase));
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index && avcodec_send_packet(decoder, packet) >= 0) {
            take();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(decoder, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    return true;
}

}  // namespace

ClockMarks ClockMarks::read(const std::filesystem::path& file, double markEvery) {
    ClockMarks marks;
    if (!readWhitePictures(file, &marks.pictureTimes, &marks.error)) {
        return marks;
    }
    // The sound as presented from time 0 on, the encoder's priming left out.
    const MovieProbe probe = MovieProbe::read(file, true);
    if (!probe.sound || probe.sound->sampleRate <= 0) {
        marks.error = "no sound track to decode";
        return marks;
    }
    const auto& left = probe.sound->left;
    const double rate = probe.sound->sampleRate;
    // A burst is 20 ms; the next one is a whole spacing later.
    const auto quiet = static_cast<size_t>(markEvery * rate / 2);
    for (size_t i = 0; i < left.size(); ++i) {
        if (std::fabs(left[i]) > kBurstLevel) {
            marks.soundTimes.push_back(static_cast<double>(i) / rate);
            i += quiet;
        }
    }
    for (const double sound : marks.soundTimes) {
        for (const double picture : marks.pictureTimes) {
            if (std::fabs(sound - picture) < markEvery / 2) {
                marks.offsets.push_back(sound - picture);
                break;
            }
        }
    }
    for (const double offset : marks.offsets) {
        marks.mean += offset / static_cast<double>(marks.offsets.size());
        if (std::fabs(offset) > std::fabs(marks.worst)) {
            marks.worst = offset;
        }
    }
    return marks;
}

}  // namespace zarvo::test
