#pragma once

// The NDI runtime's binary interface, as far as the recorder uses it. The runtime is loaded at run
// time (NDILibrary); nothing of it is needed to build. The layouts follow the runtime's published C
// interface for 64-bit Linux: natural alignment, one-byte bool, four-byte enums.

#include <cstddef>
#include <cstdint>

namespace zarvo::ndi {

struct NDIlib_source_t {
    const char* p_ndi_name;
    const char* p_url_address;
};

struct NDIlib_find_create_t {
    bool show_local_sources;
    const char* p_groups;
    const char* p_extra_ips;
};

struct NDIlib_recv_create_v3_t {
    NDIlib_source_t source_to_connect_to;
    int color_format;
    int bandwidth;
    bool allow_video_fields;
    const char* p_ndi_recv_name;
};

struct NDIlib_video_frame_v2_t {
    int xres;
    int yres;
    int FourCC;
    int frame_rate_N;
    int frame_rate_D;
    float picture_aspect_ratio;
    int frame_format_type;
    int64_t timecode;
    uint8_t* p_data;
    int line_stride_in_bytes;
    const char* p_metadata;
    int64_t timestamp;
};

struct NDIlib_audio_frame_v3_t {
    int sample_rate;
    int no_channels;
    int no_samples;
    int64_t timecode;
    int FourCC;
    uint8_t* p_data;
    int channel_stride_in_bytes;
    const char* p_metadata;
    int64_t timestamp;
};

struct NDIlib_metadata_frame_t {
    int length;
    int64_t timecode;
    char* p_data;
};

// An entry of the table that the recorder never calls.
using UnusedEntry = void (*)();

// The function table returned by NDIlib_v5_load. Newer runtimes append entries after the last one
// declared here; the positions of the declared ones never change.
struct NDIlib_v5 {
    bool (*initialize)();                                             // 0
    UnusedEntry destroy;                                              // 1
    const char* (*version)();                                         // 2
    bool (*is_supported_CPU)();                                       // 3
    UnusedEntry find_create;                                          // 4
    void* (*find_create_v2)(const NDIlib_find_create_t* settings);    // 5
    void (*find_destroy)(void* finder);                               // 6
    UnusedEntry unused7to22[16];                                      // 7 to 22
    void (*recv_destroy)(void* receiver);                             // 23
    UnusedEntry unused24to33[10];                                     // 24 to 33
    int (*recv_get_no_connections)(void* receiver);                   // 34
    UnusedEntry unused35to41[7];                                      // 35 to 41
    bool (*find_wait_for_sources)(void* finder, uint32_t timeoutMs);  // 42
    const NDIlib_source_t* (*find_get_current_sources)(void* finder,  // 43
                                                       uint32_t* count);
    UnusedEntry unused44to46[3];                                                       // 44 to 46
    void (*recv_free_video_v2)(void* receiver, const NDIlib_video_frame_v2_t* frame);  // 47
    UnusedEntry unused48to83[36];                                                      // 48 to 83
    void* (*recv_create_v3)(const NDIlib_recv_create_v3_t* settings);                  // 84
    UnusedEntry unused85to100[16];                                                     // 85 to 100
    int (*recv_capture_v3)(void* receiver, NDIlib_video_frame_v2_t* video,             // 101
                           NDIlib_audio_frame_v3_t* audio, NDIlib_metadata_frame_t* metadata,
                           uint32_t timeoutMs);
    void (*recv_free_audio_v3)(void* receiver, const NDIlib_audio_frame_v3_t* frame);  // 102
    UnusedEntry unused103to106[4];                                                     // 103 to 106
};

// The exported entry point of the runtime.
inline constexpr const char* kLoadSymbol = "NDIlib_v5_load";
using NDIlib_v5_load_t = const NDIlib_v5* (*)();

// Frame types answered by recv_capture_v3.
inline constexpr int kFrameTypeNone = 0;
inline constexpr int kFrameTypeVideo = 1;
inline constexpr int kFrameTypeAudio = 2;
inline constexpr int kFrameTypeMetadata = 3;
inline constexpr int kFrameTypeError = 4;
inline constexpr int kFrameTypeStatusChange = 100;

inline constexpr int kColorFormatBGRXBGRA = 0;
inline constexpr int kBandwidthHighest = 100;

// A four-character code: the four bytes read as a little-endian 32-bit integer.
constexpr int FourCC(char a, char b, char c, char d) {
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(a)) |
                            static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
                            static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
                            static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

inline constexpr int kFourCCBGRA = FourCC('B', 'G', 'R', 'A');
inline constexpr int kFourCCBGRX = FourCC('B', 'G', 'R', 'X');
inline constexpr int kFourCCFLTp = FourCC('F', 'L', 'T', 'p');

// The layout the runtime expects.
static_assert(sizeof(void*) == 8, "the runtime's interface is declared for 64-bit systems");
static_assert(sizeof(NDIlib_source_t) == 16);
static_assert(sizeof(NDIlib_find_create_t) == 24);
static_assert(offsetof(NDIlib_recv_create_v3_t, color_format) == 16);
static_assert(offsetof(NDIlib_recv_create_v3_t, p_ndi_recv_name) == 32);
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32);
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40);
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48);
static_assert(offsetof(NDIlib_audio_frame_v3_t, timecode) == 16);
static_assert(offsetof(NDIlib_audio_frame_v3_t, FourCC) == 24);
static_assert(offsetof(NDIlib_audio_frame_v3_t, p_data) == 32);
static_assert(offsetof(NDIlib_audio_frame_v3_t, channel_stride_in_bytes) == 40);
static_assert(offsetof(NDIlib_v5, find_create_v2) == 5 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_destroy) == 23 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_get_no_connections) == 34 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, find_wait_for_sources) == 42 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, find_get_current_sources) == 43 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_free_video_v2) == 47 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_create_v3) == 84 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_capture_v3) == 101 * sizeof(void*));
static_assert(offsetof(NDIlib_v5, recv_free_audio_v3) == 102 * sizeof(void*));
static_assert(sizeof(NDIlib_v5) == 107 * sizeof(void*));

}  // namespace zarvo::ndi
