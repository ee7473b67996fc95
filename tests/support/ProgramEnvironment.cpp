#include "tests/support/ProgramEnvironment.h"

#include <string>

#include "tests/support/Loopback.h"
#include "tests/support/SyphonTestRegistry.h"

namespace zarvo::test {

ProgramEnvironment::ProgramEnvironment()
    : home_("HOME", folder_.path().c_str()),
      config_("XDG_CONFIG_HOME", (folder_ / "config").c_str()),
      ndi_("ZARVO_NDI_LIBRARY", (folder_ / "missing" / "libndi.so.6").c_str()),
      firstPort_(freePortRange(kPortCount)),
      oscPort_("ZARVO_OSC_PORT", std::to_string(firstPort_).c_str()),
      queryPort_("ZARVO_OSCQUERY_PORT", std::to_string(firstPort_ + kQueryPortOffset).c_str()) {
    usePrivateSyphonRegistry();
    std::filesystem::create_directories(movies());
}

}  // namespace zarvo::test
