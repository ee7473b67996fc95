#include "engine/Timecode.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "platform/HostClock.h"

namespace zarvo {

namespace {

constexpr std::array<int, 8> kWholeRates = {24, 25, 30, 48, 50, 60, 100, 120};

double wallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Seconds since the local midnight of a real-time clock reading.
double localSecondsOfDay(double wall) {
    const auto whole = static_cast<time_t>(std::floor(wall));
    tm local{};
    localtime_r(&whole, &local);
    return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
           (wall - static_cast<double>(whole));
}

}  // namespace

std::optional<TimecodeRate> timecodeRateFor(double framesPerSecond, double tolerance) {
    if (!(framesPerSecond > 0) || !std::isfinite(framesPerSecond)) {
        return std::nullopt;
    }
    std::optional<TimecodeRate> best;
    double bestDistance = tolerance;
    for (const int whole : kWholeRates) {
        for (const bool slowed : {false, true}) {
            // Rates slowed by 1000/1001 come from television's 30 frame family (and 24 from
            // film transferred to it).
            if (slowed && whole % 24 != 0 && whole % 30 != 0) {
                continue;
            }
            const double exact = slowed ? whole * 1000.0 / 1001.0 : whole;
            const double distance = std::abs(framesPerSecond - exact) / exact;
            if (distance <= bestDistance) {
                bestDistance = distance;
                // Drop-frame labelling exists for the 30 and 60 frame families.
                best = TimecodeRate{whole, slowed && whole % 30 == 0, exact};
            }
        }
    }
    return best;
}

int64_t timecodeFrameAt(double secondsOfDay, const TimecodeRate& rate) {
    // Drop-frame labels are counted in real frames (29.97 a second); the others in whole ones.
    // A day of drop-frame labels is a few frames shorter than a day of real frames: the last
    // moments of the day keep its last label.
    const double perSecond = rate.dropFrame ? rate.exact : rate.framesPerSecond;
    const int64_t framesPerDay =
        rate.dropFrame ? 24 * 6 * (rate.framesPerSecond * 600 - 9 * rate.framesPerSecond / 15)
                       : 86400 * static_cast<int64_t>(rate.framesPerSecond);
    double seconds = std::fmod(secondsOfDay, 86400.0);
    if (seconds < 0) {
        seconds += 86400.0;
    }
    const auto frame = static_cast<int64_t>(std::floor(seconds * perSecond + 1e-6));
    return std::clamp<int64_t>(frame, 0, framesPerDay - 1);
}

std::string timecodeText(int64_t frame, const TimecodeRate& rate) {
    const int64_t fps = rate.framesPerSecond;
    if (rate.dropFrame) {
        // Two labels a minute (four at 60) are skipped, except every tenth minute.
        const int64_t dropped = fps / 15;
        const int64_t perTenMinutes = fps * 600 - dropped * 9;
        const int64_t perMinute = fps * 60 - dropped;
        const int64_t tens = frame / perTenMinutes;
        const int64_t rest = frame % perTenMinutes;
        frame += dropped * 9 * tens;
        if (rest > dropped) {
            frame += dropped * ((rest - dropped) / perMinute);
        }
    }
    const int64_t frames = frame % fps;
    const int64_t seconds = frame / fps % 60;
    const int64_t minutes = frame / (fps * 60) % 60;
    const int64_t hours = frame / (fps * 3600) % 24;
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d%c%02d", static_cast<int>(hours),
                  static_cast<int>(minutes), static_cast<int>(seconds), rate.dropFrame ? ';' : ':',
                  static_cast<int>(frames));
    return text;
}

ClockPair readClockPair() {
    ClockPair best;
    best.spread = INFINITY;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double before = wallSeconds();
        const double host = hostTime();
        const double after = wallSeconds();
        const double spread = (after - before) / 2;
        if (spread >= 0 && spread < best.spread) {
            best.hostTime = host;
            best.secondsOfDay = localSecondsOfDay(before + spread);
            best.spread = spread;
        }
    }
    return best;
}

}  // namespace zarvo
