#pragma once

namespace zarvo {

// The host media clock: one monotonic clock in seconds. Frame and sound arrival times, take
// start and end, and the refresh and composition pacing are all read from it.
double hostTime();

}  // namespace zarvo
