#include "support/library_fixture.h"

namespace zqk::testing {

void SimLibraryTest::SetUp()
{
    library_.emplace(device_, clock_, TestLockName());
}

int32_t SimLibraryTest::OpenHandle(sim::SimKeeper& Keeper)
{
    auto device = rig::OpenedHandleDevice(std::make_unique<sim::SimReportDevice>(Keeper.Device, clock_), clock_,
                                          TestLockName());
    if (!device)
        return 0;
    device->LearnNameQuoting();
    const int32_t handle = TheLibrary()->Handles.Add(std::move(device));
    handles_.push_back(handle);
    return handle;
}

void SimLibraryTest::TearDown()
{
    for (const int32_t handle : handles_)
        zqkDevClose(handle);
    handles_.clear();
    library_.reset();
}

}  // namespace zqk::testing
