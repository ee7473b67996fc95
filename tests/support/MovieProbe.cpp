#include "tests/support/MovieProbe.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace zarvo::test {

namespace {

struct Input {
    AVFormatContext* format = nullptr;
    ~Input() { avformat_close_input(&format); }
};

struct Decoder {
    AVCodecContext* context = nullptr;
    ~Decoder() { avcodec_free_context(&context); }
    bool open(const AVStream* stream) {
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (codec == nullptr) {
            return false;
        }
        context = avcodec_alloc_context3(codec);
        return avcodec_parameters_to_context(context, stream->codecpar) >= 0 &&
               avcodec_open2(context, codec, nullptr) >= 0;
    }
};

std::string tagText(uint32_t tag) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        text[static_cast<size_t>(i)] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    }
    return text;
}

const char* nameOr(const char* name) {
    return name != nullptr ? name : "";
}

}  // namespace

MovieProbe MovieProbe::read(const std::filesystem::path& file, bool decodeSound) {
    MovieProbe probe;
    Input input;
    int result = avformat_open_input(&input.format, file.c_str(), nullptr, nullptr);
    if (result < 0 || avformat_find_stream_info(input.format, nullptr) < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(result, text, sizeof text);
        probe.error = text;
        return probe;
    }
    probe.opened = true;
    probe.streamCount = static_cast<int>(input.format->nb_streams);
    if (const AVDictionaryEntry* tag =
            av_dict_get(input.format->metadata, "timecode", nullptr, 0)) {
        probe.timecode = tag->value;
    }
    for (unsigned i = 0; i < input.format->nb_streams; ++i) {
        const AVDictionary* tags = input.format->streams[i]->metadata;
        if (const AVDictionaryEntry* tag = av_dict_get(tags, "timecode", nullptr, 0);
            tag != nullptr && probe.timecode.empty()) {
            probe.timecode = tag->value;
        }
        if (const AVDictionaryEntry* tag = av_dict_get(tags, "reel_name", nullptr, 0)) {
            probe.reelName = tag->value;
        }
        const AVStream* stream = input.format->streams[i];
        if (stream->codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd') &&
            stream->duration != AV_NOPTS_VALUE) {
            probe.timecodeDuration =
                static_cast<double>(stream->duration) * av_q2d(stream->time_base);
        }
    }
    int pictureIndex = -1;
    int soundIndex = -1;
    Decoder soundDecoder;
    Decoder pictureDecoder;
    for (unsigned i = 0; i < input.format->nb_streams; ++i) {
        const AVStream* stream = input.format->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        const double duration =
            stream->duration != AV_NOPTS_VALUE
                ? static_cast<double>(stream->duration) * av_q2d(stream->time_base)
                : 0;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && pictureIndex < 0) {
            pictureIndex = static_cast<int>(i);
            Picture picture;
            picture.codec = avcodec_get_name(par->codec_id);
            picture.codecTag = tagText(par->codec_tag);
            picture.width = par->width;
            picture.height = par->height;
            picture.timescale = stream->time_base.den;
            picture.duration = duration;
            // A track may start after time 0 (an empty edit before its first picture).
            picture.end = duration +
                          (stream->start_time != AV_NOPTS_VALUE
                               ? static_cast<double>(stream->start_time) * av_q2d(stream->time_base)
                               : 0);
            picture.colorPrimaries = nameOr(av_color_primaries_name(par->color_primaries));
            picture.colorTransfer = nameOr(av_color_transfer_name(par->color_trc));
            picture.colorSpace = nameOr(av_color_space_name(par->color_space));
            picture.bitRate = par->bit_rate;
            if (pictureDecoder.open(stream)) {
                picture.pixelFormat = nameOr(av_get_pix_fmt_name(pictureDecoder.context->pix_fmt));
            }
            probe.picture = picture;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && soundIndex < 0) {
            soundIndex = static_cast<int>(i);
            Sound sound;
            sound.codec = avcodec_get_name(par->codec_id);
            sound.sampleRate = par->sample_rate;
            sound.channels = par->ch_layout.nb_channels;
            sound.timescale = stream->time_base.den;
            sound.duration = duration;
            probe.sound = sound;
            soundDecoder.open(stream);
        }
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto takeSound = [&] {
        const AVStream* stream = input.format->streams[soundIndex];
        while (avcodec_receive_frame(soundDecoder.context, frame) >= 0) {
            // Samples before time 0 (the encoder's priming) are not presented.
            int skip = 0;
            if (frame->pts != AV_NOPTS_VALUE && frame->pts < 0) {
                skip = static_cast<int>(std::min<int64_t>(
                    frame->nb_samples, av_rescale_q(-frame->pts, stream->time_base,
                                                    AVRational{1, frame->sample_rate})));
            }
            probe.sound->sampleCount += frame->nb_samples - skip;
            if (decodeSound) {
                for (int s = skip; s < frame->nb_samples; ++s) {
                    float l = 0;
                    float r = 0;
                    if (frame->format == AV_SAMPLE_FMT_FLTP) {
                        l = reinterpret_cast<const float*>(frame->data[0])[s];
                        r = reinterpret_cast<const float*>(frame->data[1])[s];
                    } else if (frame->format == AV_SAMPLE_FMT_S32) {
                        l = static_cast<float>(
                            reinterpret_cast<const int32_t*>(frame->data[0])[2 * s] / 2147483648.0);
                        r = static_cast<float>(
                            reinterpret_cast<const int32_t*>(frame->data[0])[2 * s + 1] /
                            2147483648.0);
                    }
                    probe.sound->left.push_back(l);
                    probe.sound->right.push_back(r);
                }
            }
        }
    };
    while (av_read_frame(input.format, packet) >= 0) {
        if (packet->stream_index == pictureIndex) {
            probe.picture->times.push_back(packet->pts);
            probe.picture->keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        } else if (packet->stream_index == soundIndex && soundDecoder.context != nullptr) {
            if (avcodec_send_packet(soundDecoder.context, packet) >= 0) {
                takeSound();
            }
        }
        av_packet_unref(packet);
    }
    if (soundDecoder.context != nullptr) {
        avcodec_send_packet(soundDecoder.context, nullptr);
        takeSound();
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    return probe;
}

std::vector<uint8_t> MovieProbe::decodePicture(const std::filesystem::path& file, int index,
                                               int* width, int* height) {
    Input input;
    if (avformat_open_input(&input.format, file.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input.format, nullptr) < 0) {
        return {};
    }
    const int stream = av_find_best_stream(input.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0) {
        return {};
    }
    Decoder decoder;
    if (!decoder.open(input.format->streams[stream])) {
        return {};
    }
    std::vector<uint8_t> rgba;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int seen = 0;
    const auto take = [&] {
        while (rgba.empty() && avcodec_receive_frame(decoder.context, frame) >= 0) {
            if (seen++ != index) {
                continue;
            }
            *width = frame->width;
            *height = frame->height;
            SwsContext* scaler = sws_getContext(
                frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                frame->width, frame->height, AV_PIX_FMT_RGBA, SWS_POINT, nullptr, nullptr, nullptr);
            int* inverse = nullptr;
            int* table = nullptr;
            int srcRange = 0, dstRange = 0, b = 0, c = 0, s = 0;
            sws_getColorspaceDetails(scaler, &inverse, &srcRange, &table, &dstRange, &b, &c, &s);
            sws_setColorspaceDetails(scaler, sws_getCoefficients(SWS_CS_ITU709), 0,
                                     sws_getCoefficients(SWS_CS_ITU709), 1, b, c, s);
            rgba.resize(static_cast<size_t>(frame->width) * frame->height * 4);
            uint8_t* planes[4] = {rgba.data(), nullptr, nullptr, nullptr};
            int strides[4] = {frame->width * 4, 0, 0, 0};
            sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
            sws_freeContext(scaler);
        }
    };
    while (rgba.empty() && av_read_frame(input.format, packet) >= 0) {
        if (packet->stream_index == stream && avcodec_send_packet(decoder.context, packet) >= 0) {
            take();
        }
        av_packet_unref(packet);
    }
    if (rgba.empty()) {
        avcodec_send_packet(decoder.context, nullptr);
        take();
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    return rgba;
}

int MovieProbe::decodeAllPictures(const std::filesystem::path& file, const DecodedPicture& each) {
    Input input;
    if (avformat_open_input(&input.format, file.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input.format, nullptr) < 0) {
        return 0;
    }
    const int stream = av_find_best_stream(input.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    Decoder decoder;
    if (stream < 0 || !decoder.open(input.format->streams[stream])) {
        return 0;
    }
    const AVRational timeBase = input.format->streams[stream]->time_base;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int decoded = 0;
    const auto take = [&] {
        while (avcodec_receive_frame(decoder.context, frame) >= 0) {
            ++decoded;
            if (each) {
                each(*frame, static_cast<double>(frame->best_effort_timestamp) * av_q2d(timeBase));
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(input.format, packet) >= 0) {
        if (packet->stream_index == stream && avcodec_send_packet(decoder.context, packet) >= 0) {
            take();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(decoder.context, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&packet);
    return decoded;
}

std::vector<MovieProbe::Packet> MovieProbe::packets(const std::filesystem::path& file) {
    std::vector<Packet> packets;
    Input input;
    if (avformat_open_input(&input.format, file.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input.format, nullptr) < 0) {
        return packets;
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input.format, packet) >= 0) {
        const AVCodecParameters* par = input.format->streams[packet->stream_index]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO || par->codec_type == AVMEDIA_TYPE_AUDIO) {
            packets.push_back(Packet{par->codec_type == AVMEDIA_TYPE_VIDEO, packet->pos,
                                     packet->size, packet->pts, packet->dts, packet->duration,
                                     (packet->flags & AV_PKT_FLAG_KEY) != 0});
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return packets;
}

namespace {

// Runs the program (found on the PATH) to its end and returns its output lines, standard error
// included, with its exit status in *status.
std::vector<std::string> RunProgram(const std::vector<std::string>& arguments, int* status) {
    std::string command;
    for (const std::string& argument : arguments) {
        std::string quoted = "'";
        for (char c : argument) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        command += quoted + "' ";
    }
    command += "2>&1";
    std::vector<std::string> lines;
    FILE* output = ::popen(command.c_str(), "r");
    if (output == nullptr) {
        *status = -1;
        return lines;
    }
    std::string line;
    for (int c; (c = std::fgetc(output)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    const int result = ::pclose(output);
    *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return lines;
}

}  // namespace

int MovieProbe::gstreamerPictureCount(const std::filesystem::path& file) {
    int status = -1;
    const auto lines =
        RunProgram({"gst-launch-1.0", "-v", "filesrc", "location=" + file.string(), "!", "qtdemux",
                    "name=demux", "demux.video_0", "!", "queue", "!", "decodebin", "!", "fakesink",
                    "name=pictures", "silent=false", "sync=false"},
                   &status);
    int pictures = 0;
    for (const std::string& line : lines) {
        if (line.find("pictures: last-message = chain") != std::string::npos) {
            ++pictures;
        }
        if (line.starts_with("ERROR")) {
            return -1;
        }
    }
    return status == 0 ? pictures : -1;
}

std::string MovieProbe::mediainfoTimecode(const std::filesystem::path& file) {
    int status = -1;
    const auto lines = RunProgram(
        {"mediainfo", "--Output=Other;%TimeCode_FirstFrame%\\n", file.string()}, &status);
    for (const std::string& line : lines) {
        if (status == 0 && !line.empty()) {
            return line;
        }
    }
    return "";
}

int64_t MovieProbe::mediainfoFrameCount(const std::filesystem::path& file) {
    int status = -1;
    const auto lines = RunProgram(
        {"mediainfo", "--Inform=Video;%FrameCount% %Source_FrameCount%", file.string()}, &status);
    if (status != 0 || lines.empty()) {
        return -1;
    }
    const std::string& counts = lines.front();
    const size_t space = counts.find(' ');
    const std::string samples = space == std::string::npos ? "" : counts.substr(space + 1);
    return std::stoll(samples.empty() ? counts.substr(0, space) : samples);
}

}  // namespace zarvo::test
