#include "sim/sim_keeper.h"

namespace zqk::sim {

SimKeeper::SimKeeper(Clock& TimeSource) : Device(TimeSource), Terminal(Device), Files(Device, Terminal)
{
    Device.SetPacing(1);
    Device.SetWriteDuration(1);
    SetQuotedNames(true);
}

void SimKeeper::SetRunMode(RunMode Mode)
{
    switch (Mode) {
    case RunMode::App: Device.Identity.Product = u"zq.keeper"; break;
    case RunMode::BootLoader: Device.Identity.Product = u"Vorlund BootLoader"; break;
    case RunMode::ATE: Device.Identity.Product = u"Vorlund ATE"; break;
    }
}

void SimKeeper::SetQuotedNames(bool Quoted)
{
    Device.Identity.Indexed[204] = Quoted ? u"fs.nfi.2" : u"fs.2";
}

}  // namespace zqk::sim
