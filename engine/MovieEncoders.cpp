#include "engine/MovieEncoders.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace zarvo {

namespace {

constexpr AVRational kPictureTimeBase{1, 60000};
constexpr AVRational kSoundTimeBase{1, 48000};

bool isProRes(Codec codec) {
    return codec == Codec::prores422 || codec == Codec::prores4444;
}

// H.264 and HEVC movies get compressed sound; ProRes movies keep it uncompressed.
bool hasCompressedSound(Codec codec) {
    return !isProRes(codec);
}

const char* encoderName(Codec codec) {
    return codec == Codec::hevc ? "libx265" : isProRes(codec) ? "prores" : "libx264";
}

AVPixelFormat pixelFormat(Codec codec) {
    switch (codec) {
        case Codec::prores422:
            return AV_PIX_FMT_YUV422P10LE;
        case Codec::prores4444:
            return AV_PIX_FMT_YUVA444P10LE;
        default:
            return AV_PIX_FMT_YUV420P;
    }
}

// Low-latency settings without B-frames for the compressed codecs; the ProRes profile.
void setEncoderOptions(AVCodecContext* video, Codec codec) {
    if (codec == Codec::h264) {
        av_opt_set(video->priv_data, "preset", "superfast", 0);
        av_opt_set(video->priv_data, "tune", "zerolatency", 0);
        av_opt_set_int(video->priv_data, "forced-idr", 1, 0);
    } else if (codec == Codec::hevc) {
        av_opt_set(video->priv_data, "preset", "ultrafast", 0);
        av_opt_set(video->priv_data, "tune", "zerolatency", 0);
        av_opt_set_int(video->priv_data, "forced-idr", 1, 0);
        av_opt_set(video->priv_data, "x265-params", "log-level=error:bframes=0:info=0", 0);
    } else {
        av_opt_set(video->priv_data, "profile", keepsAlpha(codec) ? "4444" : "standard", 0);
        av_opt_set(video->priv_data, "vendor", "apl0", 0);
        // The ProRes encoder works on one frame per thread: two frames at once keep 1080p in
        // real time on two cores, at the cost of one frame of delay.
        video->thread_count = 2;
        video->thread_type = FF_THREAD_FRAME;
    }
}

// Opens the encoder; frees it and returns nullptr when it refuses.
AVCodecContext* opened(AVCodecContext* context, const AVCodec* encoder) {
    if (avcodec_open2(context, encoder, nullptr) < 0) {
        avcodec_free_context(&context);
    }
    return context;
}

}  // namespace

int64_t averageBitRate(Codec codec, int width, int height, double framesPerSecond,
                       double megabitsPerSecond) {
    if (megabitsPerSecond > 0 && std::isfinite(megabitsPerSecond)) {
        return std::llround(megabitsPerSecond * 1000000.0);
    }
    const double rate = framesPerSecond > 0 ? framesPerSecond : 60.0;
    const double k = codec == Codec::hevc ? 0.06 : 0.1;
    // Rounded: k is not exact in binary, and truncating would lose a bit per second.
    return std::llround(std::max(1000000.0, k * rate * width * height));
}

AVCodecContext* openPictureEncoder(const PictureEncoding& encoding) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName(encoding.codec));
    if (encoder == nullptr || encoding.width < 2 || encoding.height < 2) {
        return nullptr;
    }
    const double rate = encoding.framesPerSecond > 0 ? encoding.framesPerSecond : 60.0;
    AVCodecContext* video = avcodec_alloc_context3(encoder);
    video->width = encoding.width;
    video->height = encoding.height;
    video->time_base = kPictureTimeBase;
    video->framerate = av_d2q(rate, 1 << 16);
    video->pix_fmt = pixelFormat(encoding.codec);
    video->color_primaries = AVCOL_PRI_BT709;
    video->color_trc = AVCOL_TRC_BT709;
    video->colorspace = AVCOL_SPC_BT709;
    video->color_range = AVCOL_RANGE_MPEG;
    video->max_b_frames = 0;
    video->gop_size = std::max(1, static_cast<int>(std::floor(2.0 * rate)));
    video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (usesBitrate(encoding.codec)) {
        video->bit_rate = averageBitRate(encoding.codec, encoding.width, encoding.height,
                                         encoding.framesPerSecond, encoding.megabitsPerSecond);
    }
    setEncoderOptions(video, encoding.codec);
    return opened(video, encoder);
}

AVCodecContext* openSoundEncoder(Codec codec) {
    const bool aac = hasCompressedSound(codec);
    const AVCodec* encoder = avcodec_find_encoder_by_name(aac ? "aac" : "pcm_s24le");
    AVCodecContext* audio = encoder ? avcodec_alloc_context3(encoder) : nullptr;
    if (audio == nullptr) {
        return nullptr;
    }
    audio->sample_rate = 48000;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    av_channel_layout_copy(&audio->ch_layout, &stereo);
    audio->sample_fmt = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S32;
    audio->bits_per_raw_sample = aac ? 0 : 24;
    audio->bit_rate = aac ? 256000 : 0;
    audio->time_base = kSoundTimeBase;
    audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return opened(audio, encoder);
}

}  // namespace zarvo
