#include "platform/gpu/Draw.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/Log.h"
#include "platform/Thread.h"

namespace zarvo::gpu {

// Pixels are handled as 32-bit words whose bytes are B, G, R, A in memory order.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr uint32_t kAlpha = 0xFF000000u;
// Sub-texel precision of the filter: weights are 0…kOne.
constexpr uint32_t kOne = 256;
// Passes with fewer pixels than this are drawn by one thread: handing over costs more.
constexpr int64_t kSplitWork = int64_t{1} << 18;
// Bound of the column table cache, checked before each pass (one pass may go past it).
constexpr size_t kMaxTables = 64;

uint32_t load(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void store(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// (a·(256 − w) + b·w + 128) / 256 for each of the four bytes, two bytes per multiply. A lane
// peaks at 255·256 + 128 < 65536, so no carry crosses into the next.
uint32_t lerp(uint32_t a, uint32_t b, uint32_t w) {
    const uint32_t v = kOne - w;
    const uint32_t rb =
        (((a & 0x00FF00FFu) * v + (b & 0x00FF00FFu) * w + 0x00800080u) >> 8) & 0x00FF00FFu;
    const uint32_t ag =
        (((a >> 8) & 0x00FF00FFu) * v + ((b >> 8) & 0x00FF00FFu) * w + 0x00800080u) & 0xFF00FF00u;
    return rb | ag;
}

// The mean of each byte pair, halves rounded up: the same as lerp(a, b, 128). For words and
// vectors of words.
template <class T>
T average(T a, T b) {
    return (a | b) - (((a ^ b) >> 1) & 0x7F7F7F7Fu);
}

// One output row or column mapped to the texels it reads: a texel coordinate s (texel centres
// at integers) split into two neighbours and the weight of the second, clamped to the edge.
struct Texel {
    int64_t first;
    int64_t second;
    uint32_t weight;
};

Texel texelAt(double s, int64_t size) {
    s = std::clamp(s, -1.0, static_cast<double>(size));
    const double whole = std::floor(s);
    auto index = static_cast<int64_t>(whole);
    auto weight = static_cast<uint32_t>(std::lround((s - whole) * kOne));
    if (weight == kOne) {
        ++index;
        weight = 0;
    }
    const int64_t first = std::clamp<int64_t>(index, 0, size - 1);
    const int64_t second = std::clamp<int64_t>(index + 1, 0, size - 1);
    if (first == second) {
        weight = 0;
    }
    return {first, weight == 0 ? first : second, weight};
}

// The covered pixels [begin, end) along one axis of a target of `size` pixels: those whose
// centre lies in [origin, origin + length).
std::pair<int64_t, int64_t> coveredRange(double origin, double length, int64_t size) {
    const double limit = static_cast<double>(size);
    const double begin = std::clamp(std::ceil(origin - 0.5), 0.0, limit);
    const double end = std::clamp(std::ceil(origin + length - 0.5), 0.0, limit);
    return {static_cast<int64_t>(begin), static_cast<int64_t>(end)};
}

bool isFinite(const DrawQuad& q) {
    return std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.width) &&
           std::isfinite(q.height);
}

uint8_t unitToByte(double value) {
    if (!(value > 0)) {  // also NaN
        return 0;
    }
    return static_cast<uint8_t>(std::lround(std::min(value, 1.0) * 255));
}

// ---- Row loops ----
//
// Written with the compiler's vector types, so that they run on the processor's vector
// registers (SSE2 on x86-64, NEON on ARM) at any optimisation level; each ends with a plain
// loop for the last few pixels, which computes the same values.

using U8x8 = uint8_t __attribute__((vector_size(8)));
using U16x8 = uint16_t __attribute__((vector_size(16)));
using U32x4 = uint32_t __attribute__((vector_size(16)));

template <class V>
V loadVector(const uint8_t* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
void storeVector(uint8_t* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

U16x8 widen(U8x8 v) {
    return __builtin_convertvector(v, U16x8);
}
U8x8 narrow(U16x8 v) {
    return __builtin_convertvector(v, U8x8);
}

// out = (a·(256 − w) + b·w + 128) / 256 per byte: the vertical half of the filter.
void blendRows(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict out,
               size_t count, uint32_t w) {
    size_t k = 0;
    if (w == kOne / 2) {
        for (; k + 16 <= count; k += 16) {
            storeVector(out + k, average(loadVector<U32x4>(a + k), loadVector<U32x4>(b + k)));
        }
    } else {
        const U16x8 wa = U16x8{} + static_cast<uint16_t>(kOne - w);
        const U16x8 wb = U16x8{} + static_cast<uint16_t>(w);
        for (; k + 8 <= count; k += 8) {
            const U16x8 sum = widen(loadVector<U8x8>(a + k)) * wa +
                              widen(loadVector<U8x8>(b + k)) * wb + uint16_t{128};
            storeVector(out + k, narrow(sum >> 8));
        }
    }
    for (; k < count; ++k) {
        out[k] = static_cast<uint8_t>((a[k] * (kOne - w) + b[k] * w + 128) >> 8);
    }
}

void copyPixels(const uint8_t* __restrict src, uint8_t* __restrict out, int64_t count,
                uint32_t alphaOr) {
    if (alphaOr == 0) {
        std::memcpy(out, src, static_cast<size_t>(count) * 4);
        return;
    }
    int64_t k = 0;
    for (; k + 4 <= count; k += 4) {
        storeVector(out + k * 4, loadVector<U32x4>(src + k * 4) | alphaOr);
    }
    for (; k < count; ++k) {
        store(out + k * 4, load(src + k * 4) | alphaOr);
    }
}

void halvePixels(const uint8_t* __restrict src, uint8_t* __restrict out, int64_t count,
                 uint32_t alphaOr) {
    int64_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const auto v0 = loadVector<U32x4>(src + k * 8);
        const auto v1 = loadVector<U32x4>(src + k * 8 + 16);
        const U32x4 even = __builtin_shufflevector(v0, v1, 0, 2, 4, 6);
        const U32x4 odd = __builtin_shufflevector(v0, v1, 1, 3, 5, 7);
        storeVector(out + k * 4, average(even, odd) | alphaOr);
    }
    for (; k < count; ++k) {
        store(out + k * 4, average(load(src + k * 8), load(src + k * 8 + 4)) | alphaOr);
    }
}

void fillPixels(uint8_t* out, int64_t count, uint32_t pixel) {
    int64_t k = 0;
    const U32x4 pixels = U32x4{} + pixel;
    for (; k + 4 <= count; k += 4) {
        storeVector(out + k * 4, pixels);
    }
    for (; k < count; ++k) {
        store(out + k * 4, pixel);
    }
}

void raiseAlpha(uint8_t* out, int64_t count, uint8_t minimum) {
    for (int64_t k = 0; k < count; ++k) {
        out[k * 4 + 3] = std::max(out[k * 4 + 3], minimum);
    }
}

}  // namespace

// Which texels each covered column of a quad reads, and how they mix.
struct ColumnTable {
    int64_t begin = 0;       // first covered target column
    int64_t end = 0;         // one past the last
    uint32_t spanBegin = 0;  // the bytes of a source row that the columns read:
    uint32_t spanEnd = 0;    // [spanBegin, spanEnd)
    enum class Kind { General, Copy, Halves } kind = Kind::General;
    // Per column, byte offsets from spanBegin of the left and right texels (the same when the
    // weight is 0: at the edges, where addressing clamps) and the right texel's weight 0…256.
    std::vector<uint32_t> first;
    std::vector<uint32_t> second;
    std::vector<uint32_t> weight;
    // Per column, (256 − w) four times, then w four times: the multipliers of the eight bytes
    // of the texel pair.
    std::vector<std::array<uint16_t, 8>> multipliers;
    // The leading columns whose 8-byte read at `first` stays inside the span.
    int64_t pairedColumns = 0;
};

namespace {

void filterPixels(const uint8_t* __restrict src, const ColumnTable& c, uint8_t* __restrict out,
                  uint32_t alphaOr) {
    const int64_t count = c.end - c.begin;
    const uint32_t* first = c.first.data();
    const auto* multipliers = c.multipliers.data();
    U8x8 alpha;
    const uint32_t alphaPair[2] = {alphaOr, alphaOr};
    std::memcpy(&alpha, alphaPair, sizeof alpha);
    int64_t k = 0;
    // Two columns at a time: each texel pair widened to eight 16-bit lanes and weighted, then
    // the left and right halves summed.
    for (; k + 2 <= c.pairedColumns; k += 2) {
        U16x8 m0;
        U16x8 m1;
        std::memcpy(&m0, multipliers[k].data(), sizeof m0);
        std::memcpy(&m1, multipliers[k + 1].data(), sizeof m1);
        const U16x8 p0 = widen(loadVector<U8x8>(src + first[k])) * m0;
        const U16x8 p1 = widen(loadVector<U8x8>(src + first[k + 1])) * m1;
        const U16x8 sum = __builtin_shufflevector(p0, p1, 0, 1, 2, 3, 8, 9, 10, 11) +
                          __builtin_shufflevector(p0, p1, 4, 5, 6, 7, 12, 13, 14, 15) +
                          uint16_t{128};
        storeVector(out + k * 4, narrow(sum >> 8) | alpha);
    }
    for (; k < count; ++k) {
        const size_t i = static_cast<size_t>(k);
        store(out + k * 4,
              lerp(load(src + c.first[i]), load(src + c.second[i]), c.weight[i]) | alphaOr);
    }
}

// ---- Passes ----

// A quad ready to draw: its covered rows, its columns' table and its alpha rule.
struct Prepared {
    const Texture* texture;
    const ColumnTable* columns;
    int64_t rowBegin;
    int64_t rowEnd;
    double y;
    double height;
    bool flipped;
    uint32_t alphaOr;      // kAlpha when the output is fully opaque
    uint8_t alphaMinimum;  // a partial opaque value, else 0
};

void drawRow(const Prepared& d, int64_t row, uint8_t* targetRow, uint8_t* scratch) {
    const ColumnTable& c = *d.columns;
    const Texture& texture = *d.texture;
    const double p = (static_cast<double>(row) + 0.5 - d.y) / d.height;
    const Texel t = texelAt((d.flipped ? 1 - p : p) * static_cast<double>(texture.height()) - 0.5,
                            texture.height());
    const uint8_t* src = texture.row(t.first) + c.spanBegin;
    if (t.weight != 0) {
        blendRows(src, texture.row(t.second) + c.spanBegin, scratch, c.spanEnd - c.spanBegin,
                  t.weight);
        src = scratch;
    }
    uint8_t* out = targetRow + c.begin * 4;
    const int64_t count = c.end - c.begin;
    switch (c.kind) {
        case ColumnTable::Kind::Copy:
            copyPixels(src, out, count, d.alphaOr);
            break;
        case ColumnTable::Kind::Halves:
            halvePixels(src, out, count, d.alphaOr);
            break;
        case ColumnTable::Kind::General:
            filterPixels(src, c, out, d.alphaOr);
            break;
    }
    if (d.alphaMinimum != 0) {
        raiseAlpha(out, count, d.alphaMinimum);
    }
}

// Draws rows [rowBegin, rowEnd) of the pass: the clear colour where no quad lands (drawing
// replaces, so covered pixels need no clearing), then each quad in order. Allocates nothing, so
// that it can run on the helper thread: `spans` has room for one entry per quad.
void renderRows(Texture& target, const std::vector<Prepared>& draws, uint32_t clearPixel,
                int64_t rowBegin, int64_t rowEnd, uint8_t* scratch,
                std::vector<std::pair<int64_t, int64_t>>& spans) {
    const int64_t width = target.width();
    for (int64_t row = rowBegin; row < rowEnd; ++row) {
        uint8_t* out = target.row(row);
        spans.clear();
        for (const Prepared& d : draws) {
            if (row >= d.rowBegin && row < d.rowEnd) {
                spans.emplace_back(d.columns->begin, d.columns->end);
            }
        }
        std::sort(spans.begin(), spans.end());
        int64_t cleared = 0;
        for (const auto& [begin, end] : spans) {
            if (begin > cleared) {
                fillPixels(out + cleared * 4, begin - cleared, clearPixel);
            }
            cleared = std::max(cleared, end);
        }
        if (cleared < width) {
            fillPixels(out + cleared * 4, width - cleared, clearPixel);
        }
        for (const Prepared& d : draws) {
            if (row >= d.rowBegin && row < d.rowEnd) {
                drawRow(d, row, out, scratch);
            }
        }
    }
}

}  // namespace

uint32_t ClearPixel(const ClearColor& colour) {
    return uint32_t{unitToByte(colour.b)} | uint32_t{unitToByte(colour.g)} << 8 |
           uint32_t{unitToByte(colour.r)} << 16 | uint32_t{unitToByte(colour.a)} << 24;
}

// A second thread that runs one job at a time for the renderer and reports when it is done.
struct Renderer::Helper {
    std::mutex mutex;
    std::condition_variable signal;
    std::function<void()> job;  // guarded by mutex
    bool busy = false;          // guarded by mutex
    bool stopping = false;      // guarded by mutex
    std::thread thread;

    explicit Helper(const std::string& name) {
        thread = std::thread([this, name] {
            setCurrentThreadName(name);
            run();
        });
    }

    ~Helper() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        signal.notify_all();
        thread.join();
    }

    void start(std::function<void()> work) {
        {
            std::lock_guard lock(mutex);
            job = std::move(work);
            busy = true;
        }
        signal.notify_all();
    }

    void wait() {
        std::unique_lock lock(mutex);
        signal.wait(lock, [&] { return !busy; });
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            signal.wait(lock, [&] { return stopping || job; });
            if (!job) {
                return;
            }
            const std::function<void()> work = std::move(job);
            job = nullptr;
            lock.unlock();
            work();
            lock.lock();
            busy = false;
            signal.notify_all();
        }
    }
};

Renderer::Renderer(int threads, std::string helperName)
    : threads_(std::clamp(threads, 1, 2)), helperName_(std::move(helperName)) {}

Renderer::~Renderer() = default;

const ColumnTable& Renderer::columnTable(int64_t textureWidth, double x, double width,
                                         int64_t targetWidth) {
    const ColumnKey key{textureWidth, x, width, targetWidth};
    if (const auto found = columns_.find(key); found != columns_.end()) {
        return *found->second;
    }
    auto table = std::make_unique<ColumnTable>();
    ColumnTable& c = *table;
    std::tie(c.begin, c.end) = coveredRange(x, width, targetWidth);
    const auto count = static_cast<size_t>(c.end - c.begin);
    c.first.reserve(count);
    c.second.reserve(count);
    c.weight.reserve(count);
    c.multipliers.reserve(count);
    for (int64_t i = c.begin; i < c.end; ++i) {
        const double u = (static_cast<double>(i) + 0.5 - x) / width;
        const Texel t = texelAt(u * static_cast<double>(textureWidth) - 0.5, textureWidth);
        c.first.push_back(static_cast<uint32_t>(t.first * 4));
        c.second.push_back(static_cast<uint32_t>(t.second * 4));
        c.weight.push_back(t.weight);
        const auto left = static_cast<uint16_t>(kOne - t.weight);
        const auto right = static_cast<uint16_t>(t.weight);
        c.multipliers.push_back({left, left, left, left, right, right, right, right});
    }
    // The columns move left to right, so the bytes they read run from the first one's to the
    // last one's.
    c.spanBegin = c.first.front();
    c.spanEnd = c.second.back() + 4;
    const uint32_t span = c.spanEnd - c.spanBegin;
    bool copy = true;
    bool halves = true;
    for (size_t k = 0; k < count; ++k) {
        c.first[k] -= c.spanBegin;
        c.second[k] -= c.spanBegin;
        copy = copy && c.weight[k] == 0 && c.first[k] == k * 4;
        halves = halves && c.weight[k] == kOne / 2 && c.first[k] == k * 8;
        if (c.first[k] + 8 <= span) {
            c.pairedColumns = static_cast<int64_t>(k) + 1;
        }
    }
    c.kind = copy ? ColumnTable::Kind::Copy
                  : (halves ? ColumnTable::Kind::Halves : ColumnTable::Kind::General);
    return *columns_.emplace(key, std::move(table)).first->second;
}

void Renderer::render(const RenderPass& pass) {
    if (!pass.target) {
        return;
    }
    Texture& target = *pass.target;
    // The cache is bounded here, never while this pass holds its tables.
    if (columns_.size() + pass.draws.size() > kMaxTables) {
        columns_.clear();
    }
    std::vector<Prepared> draws;
    draws.reserve(pass.draws.size());
    size_t spanBytes = 0;
    for (const DrawQuad& q : pass.draws) {
        // A texture read while it is drawn into gives no defined picture (and, split between
        // threads, a data race): such quads are left out.
        if (!q.texture || q.texture->sharesPixelsWith(target) || !isFinite(q) || !(q.width > 0) ||
            !(q.height > 0)) {
            continue;
        }
        const auto [rowBegin, rowEnd] = coveredRange(q.y, q.height, target.height());
        const auto [columnBegin, columnEnd] = coveredRange(q.x, q.width, target.width());
        if (rowBegin >= rowEnd || columnBegin >= columnEnd) {
            continue;
        }
        const ColumnTable& columns = columnTable(q.texture->width(), q.x, q.width, target.width());
        const uint8_t opaque = q.texture->isOpaque() ? uint8_t{255} : unitToByte(q.opaque);
        draws.push_back({q.texture.get(), &columns, rowBegin, rowEnd, q.y, q.height, q.flipped,
                         opaque == 255 ? kAlpha : 0, opaque == 255 ? uint8_t{0} : opaque});
        spanBytes = std::max<size_t>(spanBytes, columns.spanEnd - columns.spanBegin);
    }
    const uint32_t clearPixel = ClearPixel(pass.clear);

    // The work of each row, roughly: its drawn pixels plus a little for clearing.
    const int64_t height = target.height();
    std::vector<int64_t> work(static_cast<size_t>(height), target.width() / 8);
    int64_t total = 0;
    for (int64_t row = 0; row < height; ++row) {
        for (const Prepared& d : draws) {
            if (row >= d.rowBegin && row < d.rowEnd) {
                work[static_cast<size_t>(row)] += d.columns->end - d.columns->begin;
            }
        }
        total += work[static_cast<size_t>(row)];
    }

    const int parts = threads_ > 1 && total >= kSplitWork && height >= 2 ? 2 : 1;
    if (scratch_.size() < static_cast<size_t>(parts)) {
        scratch_.resize(static_cast<size_t>(parts));
    }
    for (int k = 0; k < parts; ++k) {
        auto& s = scratch_[static_cast<size_t>(k)];
        if (s.size() < spanBytes) {
            s.resize(spanBytes);
        }
    }
    std::vector<std::vector<std::pair<int64_t, int64_t>>> spans(static_cast<size_t>(parts));
    for (auto& s : spans) {
        s.reserve(draws.size());
    }

    if (parts == 2 && !helper_) {
        try {
            helper_ = std::make_unique<Helper>(helperName_);
        } catch (const std::system_error& e) {
            logLine(std::string("The drawing helper thread could not be started: ") + e.what());
        }
    }
    if (parts == 1 || !helper_) {
        renderRows(target, draws, clearPixel, 0, height, scratch_[0].data(), spans[0]);
        return;
    }
    // The helper draws the rows after the one where half the work is done; both halves see every
    // quad, so the order of overlapping quads holds in each.
    int64_t split = 0;
    for (int64_t done = 0; split < height && done * 2 < total; ++split) {
        done += work[static_cast<size_t>(split)];
    }
    split = std::clamp<int64_t>(split, 1, height - 1);
    helper_->start([&] {
        renderRows(target, draws, clearPixel, split, height, scratch_[1].data(), spans[1]);
    });
    renderRows(target, draws, clearPixel, 0, split, scratch_[0].data(), spans[0]);
    helper_->wait();
}

}  // namespace zarvo::gpu
