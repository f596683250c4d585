// Inside the virtual machine: ZqkDeviceWatcher prints "+ PATH SERIAL" for
// each unit that arrives and "- PATH SERIAL" for each that leaves, after a
// line "watching"; it ends when the unit SERIAL has left (exit 0) or after
// SECONDS in all (exit 1).
//   mono WatchEvents.exe SERIAL SECONDS
using System;
using System.Threading;
using Zqk;

public static class WatchEvents
{
    public static int Main(string[] args)
    {
        string serial = args[0];
        var left = new ManualResetEventSlim(false);
        using (var watcher = new ZqkDeviceWatcher())
        {
            watcher.Arrived += (sender, device) => Console.WriteLine("+ " + device.Path + " " + device.Serial);
            watcher.Left += (sender, device) =>
            {
                Console.WriteLine("- " + device.Path + " " + device.Serial);
                if (device.Serial == serial)
                    left.Set();
            };
            watcher.Start();
            Console.WriteLine("watching");
            return left.Wait(TimeSpan.FromSeconds(double.Parse(args[1]))) ? 0 : 1;
        }
    }
}
