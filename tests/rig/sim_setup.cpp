#include "rig/sim_setup.h"

namespace zqk::rig {

namespace {

DeviceOptions OptionsFor(std::unique_ptr<ReportDevice> Report, Clock& Time, const std::string& LockName)
{
    DeviceOptions options;
    options.Device = std::move(Report);
    options.TimeSource = &Time;
    options.LockName = LockName;
    return options;
}

}  // namespace

void UseDevice(std::unique_ptr<ReportDevice> Report, Clock& Time, const std::string& LockName)
{
    ReplaceDefaultDevice(OptionsFor(std::move(Report), Time, LockName));
}

sim::SimReportDevice& UseSimDevice(sim::SimDevice& Device, Clock& Time, const std::string& LockName)
{
    auto report = std::make_unique<sim::SimReportDevice>(Device, Time);
    sim::SimReportDevice& used = *report;
    UseDevice(std::move(report), Time, LockName);
    return used;
}

void UsePlatformDevice(const std::string& LockName)
{
    DeviceOptions options;
    options.LockName = LockName;
    ReplaceDefaultDevice(std::move(options));
}

SimLibrary::SimLibrary(sim::SimDevice& Device, Clock& Time, const std::string& LockName)
    : lockName_(LockName), report_(&UseSimDevice(Device, Time, LockName))
{
}

SimLibrary::SimLibrary(std::unique_ptr<ReportDevice> Report, Clock& Time, const std::string& LockName)
    : lockName_(LockName)
{
    UseDevice(std::move(Report), Time, LockName);
}

SimLibrary::~SimLibrary()
{
    UsePlatformDevice(lockName_);
}

std::shared_ptr<TzqkDevice> OpenedHandleDevice(std::unique_ptr<ReportDevice> Report, Clock& Time,
                                               const std::string& LockName)
{
    DeviceOptions options = OptionsFor(std::move(Report), Time, LockName);
    options.TakeClassicLock = false;
    auto device = std::make_shared<TzqkDevice>(std::move(options));
    if (!device->Comms.Open())
        return nullptr;
    return device;
}

std::unique_ptr<TzqComms> SimComms(sim::SimDevice& Device, Clock& Time, const std::string& LockName,
                                   sim::SimReportDevice** Report)
{
    auto report = std::make_unique<sim::SimReportDevice>(Device, Time);
    if (Report)
        *Report = report.get();
    return std::make_unique<TzqComms>(std::move(report), Time, LockName);
}

}  // namespace zqk::rig
