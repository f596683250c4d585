#include "sim/sim_keeper.h"

namespace zqk::sim {

SimKeeper::SimKeeper(Clock& TimeSource) : Device(TimeSource), Terminal(Device)
{
    Device.SetPacing(1);
}

void SimKeeper::SetRunMode(RunMode Mode)
{
    switch (Mode) {
    case RunMode::App: Device.Identity.Product = u"zq.keeper"; break;
    case RunMode::BootLoader: Device.Identity.Product = u"Vorlund BootLoader"; break;
    case RunMode::ATE: Device.Identity.Product = u"Vorlund ATE"; break;
    }
}

}  // namespace zqk::sim
