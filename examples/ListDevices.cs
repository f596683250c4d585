// Lists the zq.keeper devices that are present, without opening them.
//   mcs ListDevices.cs ../build/linux/bindings/dotnet/*.cs && mono ListDevices.exe
// (on Windows: csc, with zqkAPI.dll beside ListDevices.exe)
using System;
using Zqk;

static class ListDevices
{
    private static int Main()
    {
        try
        {
            var devices = ZqkDevice.Devices();
            if (devices.Count == 0)
                Console.WriteLine("no devices");
            foreach (ZqkDeviceInfo device in devices)
                Console.WriteLine($"{device.Serial,-16} {device.Product,-20} {device.Path}");
            return 0;
        }
        catch (ZqkException e)
        {
            Console.Error.WriteLine($"ListDevices: {e.Text} ({e.Status})");
            return 1;
        }
    }
}
