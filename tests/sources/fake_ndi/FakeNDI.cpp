// A stand-in for the NDI runtime, built for the tests. It exports NDIlib_v5_load with a function
// table laid out as the runtime's, plays a network of sources and one sender per receiver, and is
// steered by the tests through fake_ndi_control and read through fake_ndi_query. Entries of the
// table that the recorder must never call abort.
//
// Every copy of the file keeps its own state, so a test that needs two runtimes that behave
// differently loads two copies.

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sources/NDIRuntime.h"

using namespace zarvo::ndi;

namespace {

struct Entry {
    std::string name;
    std::optional<std::string> url;
};

struct Finder {
    uint64_t seenGeneration = 0;
    std::vector<Entry> listed;
    std::vector<NDIlib_source_t> array;
};

struct Receiver {
    uint64_t captures = 0;
    uint64_t videoFrames = 0;
    // Live sending: the steady-clock instant of the source's time 0, and what comes next.
    std::optional<std::chrono::steady_clock::time_point> liveStart;
    uint64_t livePictures = 0;
    uint64_t liveChunks = 0;
};

// A live sender on a clock of its own: pictures at framesPerSecond and sound in chunks, each
// handed over when it is due on the source's clock, which runs `factor` times as fast as the
// receiver's. Every `markEvery` seconds of source time both carry a mark at the same instant: a
// white picture among black ones, and a full-scale tone burst starting at the mark's sample.
struct Live {
    bool on = false;
    double factor = 1.0;
    double markEvery = 2.0;
    double framesPerSecond = 30.0;
};

// The mark's tone: 3 kHz for 20 ms, starting at phase 0.
constexpr double kMarkToneHz = 3000.0;
constexpr double kMarkToneSeconds = 0.02;

struct Fake {
    std::mutex mutex;
    std::condition_variable changed;

    // Loading.
    bool giveTable = true;
    bool completeTable = true;
    bool cpuSupported = true;
    bool initializes = true;
    std::optional<std::string> version = std::string("6.0.0 fake");

    // Discovery.
    bool findCreateFails = false;
    std::vector<Entry> sources;
    uint64_t generation = 0;
    std::string findSettings;
    std::string findThread;

    // Reception.
    bool recvCreateFails = false;
    std::string recvSettings;
    std::string captureThread;
    std::string destroyThread;
    bool metadataAsked = false;
    int connections = 0;
    int intervalMs = 2;
    Live live;

    bool videoOn = false;
    int videoFourCC = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    uint8_t alpha = 0;

    bool audioOn = false;
    int audioFourCC = 0;
    int channels = 0;
    int samples = 0;
    int rate = 0;
    bool misaligned = false;

    // Allocations handed out with frames and not yet given back, by data pointer.
    std::map<const uint8_t*, uint8_t*> outstanding;
    std::map<std::string, long long> counts;
};

// Never destroyed: a receive thread may still be leaving when the process ends.
Fake& State() {
    static Fake* fake = new Fake;
    return *fake;
}

std::string ThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

[[noreturn]] void Unexpected() {
    std::fprintf(stderr, "fake NDI runtime: an entry the recorder must not call was called\n");
    std::abort();
}

bool Initialize() {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["initialize"];
    return fake.initializes;
}

const char* Version() {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    return fake.version ? fake.version->c_str() : nullptr;
}

bool IsSupportedCPU() {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["is-supported-cpu"];
    return fake.cpuSupported;
}

void* FindCreate(const NDIlib_find_create_t* settings) {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["find-create"];
    std::ostringstream text;
    text << "local=" << settings->show_local_sources
         << " groups=" << (settings->p_groups ? settings->p_groups : "(none)")
         << " extra=" << (settings->p_extra_ips ? settings->p_extra_ips : "(none)");
    fake.findSettings = text.str();
    if (fake.findCreateFails) {
        return nullptr;
    }
    ++fake.counts["finders-live"];
    return new Finder;
}

void FindDestroy(void* finder) {
    auto& fake = State();
    {
        std::lock_guard lock(fake.mutex);
        ++fake.counts["find-destroy"];
        --fake.counts["finders-live"];
    }
    delete static_cast<Finder*>(finder);
}

bool FindWaitForSources(void* instance, uint32_t timeoutMs) {
    auto& fake = State();
    auto* finder = static_cast<Finder*>(instance);
    std::unique_lock lock(fake.mutex);
    ++fake.counts["find-wait"];
    fake.counts["find-wait-timeout"] = timeoutMs;
    fake.findThread = ThreadName();
    // Shorter than asked, to keep the tests quick; a change ends the wait at once.
    const auto wait = std::chrono::milliseconds(std::min<uint32_t>(timeoutMs, 20));
    fake.changed.wait_for(lock, wait, [&] { return fake.generation != finder->seenGeneration; });
    const bool news = fake.generation != finder->seenGeneration;
    finder->seenGeneration = fake.generation;
    return news;
}

const NDIlib_source_t* FindGetCurrentSources(void* instance, uint32_t* count) {
    auto& fake = State();
    auto* finder = static_cast<Finder*>(instance);
    std::lock_guard lock(fake.mutex);
    ++fake.counts["find-list"];
    // The array stays valid until the next listing or the finder's end, as the runtime's does.
    finder->listed = fake.sources;
    finder->array.clear();
    for (const auto& entry : finder->listed) {
        finder->array.push_back({entry.name.c_str(), entry.url ? entry.url->c_str() : nullptr});
    }
    *count = static_cast<uint32_t>(finder->array.size());
    return finder->array.data();
}

void* RecvCreate(const NDIlib_recv_create_v3_t* settings) {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["recv-create"];
    const auto& source = settings->source_to_connect_to;
    std::ostringstream text;
    text << "name=" << (source.p_ndi_name ? source.p_ndi_name : "(none)")
         << " url=" << (source.p_url_address ? source.p_url_address : "(none)")
         << " color=" << settings->color_format << " bandwidth=" << settings->bandwidth
         << " fields=" << settings->allow_video_fields
         << " recv=" << (settings->p_ndi_recv_name ? settings->p_ndi_recv_name : "(none)");
    fake.recvSettings = text.str();
    if (fake.recvCreateFails) {
        return nullptr;
    }
    ++fake.counts["receivers-live"];
    return new Receiver;
}

void RecvDestroy(void* receiver) {
    auto& fake = State();
    {
        std::lock_guard lock(fake.mutex);
        ++fake.counts["recv-destroy"];
        --fake.counts["receivers-live"];
        fake.destroyThread = ThreadName();
    }
    delete static_cast<Receiver*>(receiver);
}

int RecvGetNoConnections(void* receiver) {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["connection-queries"];
    // Reading the receiver lets the address sanitizer catch a use after its destruction.
    const uint64_t captures = static_cast<Receiver*>(receiver)->captures;
    return captures == UINT64_MAX ? 0 : fake.connections;
}

// Allocates exactly the bytes a frame describes, so that reading past them is caught.
uint8_t* Allocate(Fake& fake, size_t size, size_t offset) {
    auto* block = static_cast<uint8_t*>(std::malloc(size + offset));
    uint8_t* data = block + offset;
    fake.outstanding[data] = block;
    return data;
}

void Release(Fake& fake, const uint8_t* data, const char* what) {
    const auto found = fake.outstanding.find(data);
    if (found == fake.outstanding.end()) {
        ++fake.counts["bad-free"];
        return;
    }
    std::free(found->second);
    fake.outstanding.erase(found);
    ++fake.counts[what];
}

// The description of a picture of the fake's format held in data, handed out and counted.
void DescribeVideo(Fake& fake, uint8_t* data, int rateN, int rateD,
                   NDIlib_video_frame_v2_t* video) {
    video->xres = fake.width;
    video->yres = fake.height;
    video->FourCC = fake.videoFourCC;
    video->frame_rate_N = rateN;
    video->frame_rate_D = rateD;
    video->picture_aspect_ratio = 0;
    video->frame_format_type = 1;
    video->p_data = data;
    video->line_stride_in_bytes = fake.stride;
    ++fake.counts["video-sent"];
}

// Likewise for sound of the fake's format, planar with channels stride bytes apart.
void DescribeAudio(Fake& fake, uint8_t* data, int stride, NDIlib_audio_frame_v3_t* audio) {
    audio->sample_rate = fake.rate;
    audio->no_channels = fake.channels;
    audio->no_samples = fake.samples;
    audio->FourCC = fake.audioFourCC;
    audio->p_data = data;
    audio->channel_stride_in_bytes = stride;
    ++fake.counts["audio-sent"];
}

void FillVideo(Fake& fake, Receiver& receiver, NDIlib_video_frame_v2_t* video) {
    const size_t size = static_cast<size_t>(fake.stride) * static_cast<size_t>(fake.height);
    uint8_t* data = Allocate(fake, size, 0);
    std::memset(data, 0xEE, size);
    const auto index = static_cast<uint8_t>(receiver.videoFrames & 0xFF);
    for (int y = 0; y < fake.height; ++y) {
        uint8_t* row = data + static_cast<size_t>(y) * static_cast<size_t>(fake.stride);
        for (int x = 0; x < fake.width && x * 4 + 3 < fake.stride; ++x) {
            row[x * 4 + 0] = index;
            row[x * 4 + 1] = static_cast<uint8_t>(x & 0xFF);
            row[x * 4 + 2] = static_cast<uint8_t>(y & 0xFF);
            row[x * 4 + 3] = fake.alpha;
        }
    }
    ++receiver.videoFrames;
    DescribeVideo(fake, data, 30, 1, video);
}

void FillAudio(Fake& fake, NDIlib_audio_frame_v3_t* audio) {
    const int stride = fake.samples * 4;
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(fake.channels);
    uint8_t* data = Allocate(fake, size, fake.misaligned ? 1 : 0);
    for (int c = 0; c < fake.channels; ++c) {
        for (int i = 0; i < fake.samples; ++i) {
            const float value = static_cast<float>(c * 1000 + i);
            std::memcpy(data + c * stride + i * 4, &value, sizeof value);
        }
    }
    DescribeAudio(fake, data, stride, audio);
}

// Whether the picture at this source time carries a mark.
bool IsLiveMark(const Live& live, double sourceTime) {
    if (!(live.markEvery > 0) || sourceTime <= 0) {
        return false;
    }
    const double marks = sourceTime / live.markEvery;
    return std::fabs(marks - std::round(marks)) * live.markEvery < 0.5 / live.framesPerSecond;
}

void FillLiveVideo(Fake& fake, Receiver& receiver, NDIlib_video_frame_v2_t* video) {
    const size_t size = static_cast<size_t>(fake.stride) * static_cast<size_t>(fake.height);
    uint8_t* data = Allocate(fake, size, 0);
    const double time = static_cast<double>(receiver.livePictures) / fake.live.framesPerSecond;
    const uint8_t level = IsLiveMark(fake.live, time) ? 255 : 0;
    std::memset(data, level, size);
    for (size_t i = 3; i < size; i += 4) {
        data[i] = 255;
    }
    ++receiver.livePictures;
    DescribeVideo(fake, data, static_cast<int>(std::lround(fake.live.framesPerSecond * 1000)), 1000,
                  video);
    if (level != 0) {
        ++fake.counts["marks-sent"];
    }
}

void FillLiveAudio(Fake& fake, Receiver& receiver, NDIlib_audio_frame_v3_t* audio) {
    const int stride = fake.samples * 4;
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(fake.channels);
    uint8_t* data = Allocate(fake, size, 0);
    const auto first = static_cast<int64_t>(receiver.liveChunks) * fake.samples;
    const auto markSamples = static_cast<int64_t>(std::llround(fake.live.markEvery * fake.rate));
    const auto toneSamples = static_cast<int64_t>(std::llround(kMarkToneSeconds * fake.rate));
    for (int i = 0; i < fake.samples; ++i) {
        const int64_t n = first + i;
        // Samples since the latest mark at or before this one.
        const int64_t since = markSamples > 0 && n >= markSamples ? n % markSamples : -1;
        float value = 0;
        if (since >= 0 && since < toneSamples) {
            value = static_cast<float>(
                std::sin(2.0 * M_PI * kMarkToneHz * static_cast<double>(since) / fake.rate));
        }
        for (int c = 0; c < fake.channels; ++c) {
            std::memcpy(data + c * stride + i * 4, &value, sizeof value);
        }
    }
    ++receiver.liveChunks;
    DescribeAudio(fake, data, stride, audio);
}

// Live capture: waits for whichever of the next picture and the next sound chunk is due first
// on the source's clock, within the timeout, and hands it over. A chunk covering [s, s + D] is
// due at s + D, when its last sample has been played at the sender.
int LiveCapture(Fake& fake, Receiver& receiver, NDIlib_video_frame_v2_t* video,
                NDIlib_audio_frame_v3_t* audio, uint32_t timeoutMs,
                std::unique_lock<std::mutex>& lock) {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    if (!receiver.liveStart) {
        receiver.liveStart = now;
    }
    const Live live = fake.live;
    const auto hostTime = [&](double sourceTime) {
        return *receiver.liveStart + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(sourceTime / live.factor));
    };
    const bool pictures = fake.videoOn && video != nullptr;
    const bool sound = fake.audioOn && audio != nullptr && fake.samples > 0 && fake.rate > 0;
    const auto pictureDue =
        hostTime(static_cast<double>(receiver.livePictures) / live.framesPerSecond);
    const auto soundDue =
        hostTime(static_cast<double>((receiver.liveChunks + 1) * fake.samples) / fake.rate);
    const bool soundFirst = sound && (!pictures || soundDue < pictureDue);
    if (!pictures && !sound) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(timeoutMs, 5)));
        return kFrameTypeNone;
    }
    const auto due = soundFirst ? soundDue : pictureDue;
    if (due > now + std::chrono::milliseconds(timeoutMs)) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return kFrameTypeNone;
    }
    lock.unlock();
    std::this_thread::sleep_until(due);
    lock.lock();
    if (soundFirst) {
        FillLiveAudio(fake, receiver, audio);
        return kFrameTypeAudio;
    }
    FillLiveVideo(fake, receiver, video);
    return kFrameTypeVideo;
}

int RecvCapture(void* instance, NDIlib_video_frame_v2_t* video, NDIlib_audio_frame_v3_t* audio,
                NDIlib_metadata_frame_t* metadata, uint32_t timeoutMs) {
    auto& fake = State();
    auto& receiver = *static_cast<Receiver*>(instance);
    int interval = 0;
    {
        std::lock_guard lock(fake.mutex);
        ++fake.counts["captures"];
        fake.counts["capture-timeout"] = timeoutMs;
        fake.captureThread = ThreadName();
        fake.metadataAsked = fake.metadataAsked || metadata != nullptr;
        interval = fake.videoOn || fake.audioOn ? fake.intervalMs : 5;
    }
    {
        std::unique_lock lock(fake.mutex);
        if (fake.live.on) {
            ++receiver.captures;
            return LiveCapture(fake, receiver, video, audio, timeoutMs, lock);
        }
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min<uint32_t>(timeoutMs, static_cast<uint32_t>(interval))));

    std::lock_guard lock(fake.mutex);
    const uint64_t turn = receiver.captures++;
    // Now and then something that is neither picture nor sound, as a real sender's stream has.
    if (turn % 5 == 4) {
        return kFrameTypeStatusChange;
    }
    const bool audioTurn = fake.audioOn && (!fake.videoOn || turn % 2 == 1);
    if (audioTurn && audio != nullptr) {
        FillAudio(fake, audio);
        return kFrameTypeAudio;
    }
    if (fake.videoOn && video != nullptr) {
        FillVideo(fake, receiver, video);
        return kFrameTypeVideo;
    }
    return kFrameTypeNone;
}

void RecvFreeVideo(void*, const NDIlib_video_frame_v2_t* video) {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    Release(fake, video->p_data, "video-freed");
}

void RecvFreeAudio(void*, const NDIlib_audio_frame_v3_t* audio) {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    Release(fake, audio->p_data, "audio-freed");
}

NDIlib_v5 MakeTable(bool complete) {
    NDIlib_v5 table{};
    table.destroy = Unexpected;
    table.find_create = Unexpected;
    std::fill(std::begin(table.unused7to22), std::end(table.unused7to22), Unexpected);
    std::fill(std::begin(table.unused24to33), std::end(table.unused24to33), Unexpected);
    std::fill(std::begin(table.unused35to41), std::end(table.unused35to41), Unexpected);
    std::fill(std::begin(table.unused44to46), std::end(table.unused44to46), Unexpected);
    std::fill(std::begin(table.unused48to83), std::end(table.unused48to83), Unexpected);
    std::fill(std::begin(table.unused85to100), std::end(table.unused85to100), Unexpected);
    std::fill(std::begin(table.unused103to106), std::end(table.unused103to106), Unexpected);
    table.initialize = Initialize;
    table.version = Version;
    table.is_supported_CPU = IsSupportedCPU;
    table.find_create_v2 = FindCreate;
    table.find_destroy = FindDestroy;
    table.recv_destroy = complete ? RecvDestroy : nullptr;
    table.recv_get_no_connections = RecvGetNoConnections;
    table.find_wait_for_sources = FindWaitForSources;
    table.find_get_current_sources = FindGetCurrentSources;
    table.recv_free_video_v2 = RecvFreeVideo;
    table.recv_create_v3 = RecvCreate;
    table.recv_capture_v3 = RecvCapture;
    table.recv_free_audio_v3 = RecvFreeAudio;
    return table;
}

const NDIlib_v5 kTable = MakeTable(true);
const NDIlib_v5 kIncompleteTable = MakeTable(false);

int FourCCOf(const std::string& text) {
    char c[4] = {' ', ' ', ' ', ' '};
    std::memcpy(c, text.data(), std::min<size_t>(4, text.size()));
    return FourCC(c[0], c[1], c[2], c[3]);
}

std::vector<Entry> ParseSources(const std::string& text) {
    std::vector<Entry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            continue;
        }
        const auto tab = line.find('\t');
        if (tab == std::string::npos) {
            entries.push_back({line, std::nullopt});
        } else {
            entries.push_back({line.substr(0, tab), line.substr(tab + 1)});
        }
    }
    return entries;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const NDIlib_v5* NDIlib_v5_load() {
    auto& fake = State();
    std::lock_guard lock(fake.mutex);
    ++fake.counts["load"];
    if (!fake.giveTable) {
        return nullptr;
    }
    return fake.completeTable ? &kTable : &kIncompleteTable;
}

// Steers the fake; answers 0, or -1 for a command it does not know. Commands:
//   reset | table 0|1 | complete-table 0|1 | cpu 0|1 | initialize 0|1 | version TEXT | version-none
//   find-create-fails 0|1 | sources NAME[<tab>URL][<newline>NAME…]   (the whole list at once)
//   recv-create-fails 0|1 | connections N | interval-ms N
//   video FOURCC WIDTH HEIGHT STRIDE ALPHA | video-off
//   audio FOURCC CHANNELS SAMPLES RATE [misaligned] | audio-off
//   live FACTOR MARK-SECONDS [FPS] | live-off   (a live sender on its own clock; see Live)
__attribute__((visibility("default"))) int fake_ndi_control(const char* command) {
    auto& fake = State();
    const std::string text = command;
    const auto space = text.find(' ');
    const std::string verb = text.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : text.substr(space + 1);
    std::istringstream args(rest);
    std::lock_guard lock(fake.mutex);
    if (verb == "reset") {
        // Live finders and receivers keep being counted; everything else starts over.
        const long long finders = fake.counts["finders-live"];
        const long long receivers = fake.counts["receivers-live"];
        fake.giveTable = fake.completeTable = fake.cpuSupported = fake.initializes = true;
        fake.version = std::string("6.0.0 fake");
        fake.findCreateFails = fake.recvCreateFails = false;
        fake.sources.clear();
        ++fake.generation;
        fake.findSettings.clear();
        fake.findThread.clear();
        fake.recvSettings.clear();
        fake.captureThread.clear();
        fake.destroyThread.clear();
        fake.metadataAsked = false;
        fake.connections = 0;
        fake.intervalMs = 2;
        fake.videoOn = fake.audioOn = fake.misaligned = false;
        fake.live = Live{};
        fake.counts.clear();
        fake.counts["finders-live"] = finders;
        fake.counts["receivers-live"] = receivers;
    } else if (verb == "table") {
        args >> fake.giveTable;
    } else if (verb == "complete-table") {
        args >> fake.completeTable;
    } else if (verb == "cpu") {
        args >> fake.cpuSupported;
    } else if (verb == "initialize") {
        args >> fake.initializes;
    } else if (verb == "version") {
        fake.version = rest;
    } else if (verb == "version-none") {
        fake.version.reset();
    } else if (verb == "find-create-fails") {
        args >> fake.findCreateFails;
    } else if (verb == "sources") {
        fake.sources = ParseSources(rest);
        ++fake.generation;
        fake.changed.notify_all();
    } else if (verb == "recv-create-fails") {
        args >> fake.recvCreateFails;
    } else if (verb == "connections") {
        args >> fake.connections;
    } else if (verb == "interval-ms") {
        args >> fake.intervalMs;
    } else if (verb == "video") {
        std::string code;
        int alpha = 0;
        args >> code >> fake.width >> fake.height >> fake.stride >> alpha;
        fake.videoFourCC = FourCCOf(code);
        fake.alpha = static_cast<uint8_t>(alpha);
        fake.videoOn = true;
    } else if (verb == "video-off") {
        fake.videoOn = false;
    } else if (verb == "audio") {
        std::string code;
        std::string option;
        args >> code >> fake.channels >> fake.samples >> fake.rate >> option;
        fake.audioFourCC = FourCCOf(code);
        fake.misaligned = option == "misaligned";
        fake.audioOn = true;
    } else if (verb == "audio-off") {
        fake.audioOn = false;
    } else if (verb == "live") {
        Live live;
        live.on = true;
        args >> live.factor >> live.markEvery;
        if (!(args >> live.framesPerSecond)) {
            live.framesPerSecond = 30.0;
        }
        if (!(live.factor > 0) || !(live.framesPerSecond > 0)) {
            return -1;
        }
        fake.live = live;
    } else if (verb == "live-off") {
        fake.live.on = false;
    } else {
        return -1;
    }
    return 0;
}

// Answers what the fake saw, as text, into the buffer; returns the full length of the answer.
// Counters by name (load, initialize, find-create, find-destroy, find-wait, find-list,
// find-wait-timeout, finders-live, recv-create, recv-destroy, receivers-live, captures,
// capture-timeout, connection-queries, video-sent, video-freed, audio-sent, audio-freed, bad-free,
// outstanding, marks-sent), and find-settings, find-thread, recv-settings, capture-thread,
// destroy-thread, metadata-asked.
__attribute__((visibility("default"))) size_t fake_ndi_query(const char* what, char* out,
                                                             size_t size) {
    auto& fake = State();
    const std::string key = what;
    std::string answer;
    {
        std::lock_guard lock(fake.mutex);
        if (key == "find-settings") {
            answer = fake.findSettings;
        } else if (key == "find-thread") {
            answer = fake.findThread;
        } else if (key == "recv-settings") {
            answer = fake.recvSettings;
        } else if (key == "capture-thread") {
            answer = fake.captureThread;
        } else if (key == "destroy-thread") {
            answer = fake.destroyThread;
        } else if (key == "metadata-asked") {
            // One character, assigned as such: g++ 12 warns wrongly about the copy of a literal
            // in optimised builds.
            answer.assign(1, fake.metadataAsked ? '1' : '0');
        } else if (key == "outstanding") {
            answer = std::to_string(fake.outstanding.size());
        } else {
            const auto found = fake.counts.find(key);
            answer = std::to_string(found != fake.counts.end() ? found->second : 0);
        }
    }
    if (size > 0) {
        const size_t n = std::min(size - 1, answer.size());
        std::memcpy(out, answer.data(), n);
        out[n] = '\0';
    }
    return answer.size();
}

}  // extern "C"
