// Tests of Zqk.cs against the library on simulated devices kept in folders
// below the folder given as the first argument; the second is the export
// table, src/api/exports.txt. Prints one line per check and
// exits with 1 when any failed.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;
using Zqk;

static class ZqkTests
{
    private static string top;
    private static int failed;

    private static void Check(bool condition, string what)
    {
        if (!condition)
            throw new Exception("not so: " + what);
    }

    private static ZqkException Throws(Action action)
    {
        try
        {
            action();
        }
        catch (ZqkException e)
        {
            return e;
        }
        throw new Exception("no ZqkException");
    }

    private static ZqkDevice Sim(string name, string options = "") =>
        ZqkDevice.Open("sim:" + Path.Combine(top, name) + (options.Length > 0 ? "?" + options : ""));

    private static void IdentityAndCommand()
    {
        using (var dev = Sim("identity", "serial=ZQK-0042"))
        {
            Check(dev.Serial == "ZQK-0042" && dev.Manufacturer == "Vorlund" && dev.Product == "zq.keeper", "USB strings");
            Check(dev.UsbString(203) == "fw 2.4.1" && dev.RunMode == "application" && dev.IsOpen, "identity");
            Check(dev.Path == "sim:" + Path.Combine(top, "identity"), "path " + dev.Path);
            Check(dev.Command("echo h\u00e9llo \u00ff \u20ac") == "h\u00e9llo \u00ff \u20ac\r\n", "UTF-8 both ways");
            Check(dev.Command("echo caf\udce9") == "caf\udce9\r\n", "a byte that is not UTF-8 as its lone surrogate");
            Check(dev.Escape() && dev.IsPrompt("keeper>"), "escape and prompt");
            dev.Send(System.Text.Encoding.ASCII.GetBytes("ver\r"));
            Check(dev.Receive().Length > 0, "raw data comes back");
            Check(dev.FlushPrompt(100).EndsWith("zq.keeper>") && dev.FlushPrompt(10) == "", "flushing to the prompt");
            Check(ZqkDevice.LibraryVersion >= new Version(1, 1, 0), "library version");
            var big = dev.Command("text 100000");
            Check(big.Length == 100000, "output of 100000 bytes, not " + big.Length);
            var lost = Throws(() => dev.Command("text 5000", maxOutput: 1000));
            Check(lost.Status == ZqkStatus.Buffer && lost.Text.Contains("was lost"), "too much output: " + lost.Text);
            dev.Dispose();
            Check(!dev.IsOpen && Throws(() => dev.Command("ver")).Status == ZqkStatus.Argument, "a disposed device");
        }
    }

    private static void ListingAndFilesWithProgress()
    {
        using (var dev = Sim("files"))
        {
            var logs = dev.ListDirectory("/logs");
            Check(logs.Select(e => e.Name).SequenceEqual(new[] { "2024-03-15.log", "samples.bin" }), "the demo's logs");
            Check(logs[0].Size == 8272 && !logs[0].IsDirectory && logs[0].Modified == new DateTime(2024, 3, 15, 10, 20, 30),
                  "an entry's size and time");
            Check(dev.ListDirectory().Single(e => e.Name == "logs").IsDirectory, "a folder");

            var data = new byte[20000];
            new Random(7).NextBytes(data);
            string local = Path.Combine(top, "local file.bin");
            File.WriteAllBytes(local, data);
            var stamp = new DateTime(2024, 5, 6, 7, 8, 10);
            var put = new List<long>();
            dev.MakeDirectory("/new folder");
            long sent = dev.Put(local, "/new folder/a b.bin", new ZqkProgress((done, total) => put.Add(done)), stamp);
            Check(sent == 20000 && put.Count == 5 && put.Last() == 20000, "put with progress: " + string.Join(",", put));
            var entry = dev.ListDirectory("/new folder").Single();
            Check(entry.Name == "a b.bin" && entry.Size == 20000 && entry.Modified == stamp, "the file put");

            string back = Path.Combine(top, "back again.bin");
            long announced = 0;
            Check(dev.Get("/new folder/a b.bin", back, new ZqkProgress((done, all) => announced = all)) == 20000, "get");
            Check(announced == 20000 && File.ReadAllBytes(back).SequenceEqual(data), "the same bytes back");

            var memory = new byte[70000]; // larger than the first guess of ReadAllBytes
            new Random(8).NextBytes(memory);
            Check(dev.WriteAllBytes("/mem.bin", memory) == memory.Length, "bytes written from memory");
            Check(dev.ReadAllBytes("/mem.bin").SequenceEqual(memory), "the same bytes back into memory");
            Check(dev.ReadAllBytes("/new folder/a b.bin").SequenceEqual(data), "a file that fits the first guess");
            Check(Throws(() => dev.ReadAllBytes("/no such file.bin")).Status == ZqkStatus.Refused, "a missing file");

            dev.Rename("/new folder/a b.bin", "/new folder/c d.bin");
            dev.Delete("/new folder/c d.bin");
            dev.RemoveDirectory("/new folder");
            Check(dev.ListDirectory().All(e => e.Name != "new folder"), "removed again");
            File.WriteAllBytes(Path.Combine(top, "MAIN.BIN"), new byte[5000]);
            Check(dev.Flash(Path.Combine(top, "MAIN.BIN")) == 5000, "flash");
        }
    }

    // Names as UTF-8, a byte that is not UTF-8 as its lone surrogate: each name
    // read is written back with the same bytes (the simulator keeps them as host names).
    private static void NamesReadBackAreWrittenBackUnchanged()
    {
        using (var dev = Sim("names"))
        {
            dev.WriteAllBytes("/caf\u00e9 \u20ac.txt", new byte[] { 1 });
            string folder = Path.Combine(top, "names");
            Check(File.Exists(Path.Combine(folder, "caf\u00e9 \u20ac.txt")), "the device got UTF-8");
            // The simulator's host name for the device name "caf" 0xE9 ".txt", which is not UTF-8.
            File.WriteAllBytes(Path.Combine(folder, "caf%E9.txt"), new byte[] { 2 });
            var names = dev.ListDirectory().Select(e => e.Name).ToList();
            foreach (string name in new[] { "caf\u00e9 \u20ac.txt", "caf\udce9.txt" })
            {
                Check(names.Contains(name), "listed: " + string.Join(", ", names));
                byte[] data = dev.ReadAllBytes("/" + name);
                dev.Rename("/" + name, "/moved " + name);
                Check(dev.ReadAllBytes("/moved " + name).SequenceEqual(data), "written back unchanged: " + name);
            }
            Check(Throws(() => dev.Delete("/none caf\udce9")).Text.Contains("/none caf\udce9"), "a refusal names it");
        }
    }

    private static void FailuresThrowWithTheirStatus()
    {
        Check(Throws(() => ZqkDevice.Open("NO-SUCH-SERIAL")).Status == ZqkStatus.NoDevice, "no device");
        using (var dev = Sim("failures"))
        {
            var refused = Throws(() => dev.Delete("/no such file"));
            Check(refused.Status == ZqkStatus.Refused && refused.Text.Contains("NFDEL"), "refused: " + refused.Text);
            Check(refused is IOException && refused.IsNotFound && refused.DeviceCode == 4 && refused.DeviceText == "No file",
                  $"a missing file, in .NET's terms: {refused.DeviceCode} {refused.DeviceText}");
            var exists = Throws(() => dev.MakeDirectory("/logs"));
            Check(exists.Status == ZqkStatus.Refused && exists.DeviceCode != null && !exists.IsNotFound, "a folder that exists");
            Check(Throws(() => dev.Put(Path.Combine(top, "missing.bin"), "/x.bin")).Status == ZqkStatus.LocalFile, "local file");
            Check(Throws(() => dev.MakeDirectory("/\ud800")).Status == ZqkStatus.Argument, "a lone surrogate for no byte");
            var busy = Throws(() => dev.Get("/logs/2024-03-15.log", Path.Combine(top, "busy.log"),
                                            new ZqkProgress((done, all) => dev.Command("ver"))));
            Check(busy.Status == ZqkStatus.InTransfer, "a callback that calls its own device: " + busy.Status);
            // Last: the prompt that comes after the time-out is still on its way.
            var silent = Throws(() => dev.Command("sleep 300", 50));
            Check(silent.Status == ZqkStatus.Timeout && silent.IsTimeout && silent.DeviceCode == null, "time-out");
        }
    }

    private sealed class Stop : Exception
    {
    }

    private static void ACallbackThatThrows()
    {
        using (var dev = Sim("throws"))
        {
            string local = Path.Combine(top, "20k.bin");
            File.WriteAllBytes(local, new byte[20000]);
            int calls = 0;
            try
            {
                dev.Put(local, "/20k.bin", new ZqkProgress((done, total) => { ++calls; throw new Stop(); }));
                throw new Exception("no exception from Put");
            }
            catch (Stop)
            {
            }
            Check(calls == 1, "no more reports after the exception: " + calls);
            Check(dev.ListDirectory().Single(e => e.Name == "20k.bin").Size == 20000, "the transfer ran to its end");
            Check(dev.Command("ver").StartsWith("zq.keeper"), "the device at ease afterwards");
        }
    }

    private static void TwoDevicesAtOnce()
    {
        var problems = new List<Exception>();
        var start = new Barrier(2);
        var threads = Enumerable.Range(0, 2).Select(index => new Thread(() =>
        {
            try
            {
                using (var dev = Sim("thread" + index, "serial=T" + index))
                {
                    start.SignalAndWait();
                    for (int round = 0; round < 5; ++round)
                    {
                        string local = Path.Combine(top, $"t{index}-{round}.bin");
                        var data = Enumerable.Repeat((byte)(index * 16 + round), 6000).ToArray();
                        File.WriteAllBytes(local, data);
                        dev.Put(local, "/mine.bin", new ZqkProgress((d, t) => { }));
                        dev.Get("/mine.bin", local + ".back");
                        Check(File.ReadAllBytes(local + ".back").SequenceEqual(data), "each thread's own bytes");
                        Check(dev.Command($"echo T{index} {round}") == $"T{index} {round}\r\n", "each thread's own answer");
                    }
                }
            }
            catch (Exception e)
            {
                lock (problems)
                    problems.Add(e);
            }
        })).ToList();
        threads.ForEach(t => t.Start());
        threads.ForEach(t => t.Join());
        Check(problems.Count == 0, string.Join("; ", problems.Select(p => p.Message)));
    }

    private static void DevicesListsNoSimulatedOne()
    {
        Check(ZqkDevice.Devices().All(d => !d.Path.StartsWith("sim:")), "no simulated device listed");
        Check(!ZqkDevice.WaitForDevice("NO-SUCH-SERIAL", 10), "waiting for a device that does not come");
    }

    // A device disposed on one thread while another runs a command on it: the
    // handle is closed when the command has returned, not under it.
    private static void DisposedDuringACall()
    {
        var dev = Sim("disposed", "pace=1000");  // a report per ms: the output takes about 330 ms
        string output = null;
        var command = new Thread(() => output = dev.Command("text 20000"));
        command.Start();
        Thread.Sleep(100);
        dev.Dispose();
        command.Join();
        Check(output != null && output.Length == 20000, "the command ran to its end");
        Check(!dev.IsOpen && Throws(() => dev.Command("ver")).Status == ZqkStatus.Argument, "disposed afterwards");
    }

    // Calls the watcher's callback as the library's thread does: from another
    // thread, through a native function pointer. Without a device, the binding's own part.
    private static void FromTheLibraryThread(ZqkDeviceWatcher watcher, int arrived, string path, byte[] serial)
    {
        var native = Marshal.GetDelegateForFunctionPointer<ZqkNative.DeviceCallback>(
            Marshal.GetFunctionPointerForDelegate(watcher.Callback));
        var texts = new[] { ZqkText.Device(path), serial?.Concat(new byte[] { 0 }).ToArray() }.Where(t => t != null);
        var pinned = texts.Select(t => GCHandle.Alloc(t, GCHandleType.Pinned)).ToList();
        try
        {
            var caller = new Thread(() => native(IntPtr.Zero, arrived, pinned[0].AddrOfPinnedObject(),
                                                 pinned.Count > 1 ? pinned[1].AddrOfPinnedObject() : IntPtr.Zero));
            caller.Start();
            caller.Join();
        }
        finally
        {
            pinned.ForEach(p => p.Free());
        }
    }

    // One watcher at a time; events after Dispose are not raised; a handler that
    // throws or disposes of its watcher ends the watch.
    private static void WatchingForDevices()
    {
        const string fake = "/dev/zqk-test-unit"; // a path no device has: the events below are the test's own
        var arrived = new List<ZqkDeviceEventArgs>();
        var left = new List<ZqkDeviceEventArgs>();
        var watcher = new ZqkDeviceWatcher();
        using (watcher)
        {
            watcher.Arrived += (sender, e) => { lock (arrived) arrived.Add(e); };
            watcher.Left += (sender, e) => { lock (left) left.Add(e); };
            watcher.Start();
            Check(watcher.IsRunning && Throws(() => new ZqkDeviceWatcher().Start()).Status == ZqkStatus.Busy, "one at a time");
            FromTheLibraryThread(watcher, 1, fake, new byte[] { 0x63, 0x61, 0x66, 0xE9 });
            FromTheLibraryThread(watcher, 0, fake, null);
        }
        FromTheLibraryThread(watcher, 0, fake, null); // disposed: not raised
        Check(!watcher.IsRunning && Throws(() => watcher.Start()).Status == ZqkStatus.Argument, "a watcher starts once");
        var present = new HashSet<string>(ZqkDevice.Devices().Select(d => d.Path));
        Check(arrived.Where(e => e.Path != fake).All(e => present.Contains(e.Path)), "the devices present arrive first");
        var mine = arrived.Single(e => e.Path == fake);
        Check(mine.Serial == "caf\udce9" && left.Single(e => e.Path == fake).Serial == "", "the serial numbers, as names read");

        var failing = new ZqkDeviceWatcher();
        failing.Arrived += (sender, e) => { if (e.Path == fake) throw new Stop(); };
        failing.Start();
        FromTheLibraryThread(failing, 1, fake, null);
        Check(!failing.IsRunning && failing.Failure is Stop, "a handler that throws ends the watch");
        var inside = new ZqkDeviceWatcher();
        inside.Left += (sender, e) => { if (e.Path == fake) inside.Dispose(); };
        inside.Start();
        FromTheLibraryThread(inside, 0, fake, null);
        Check(!inside.IsRunning && inside.Failure == null, "disposed by its own handler");
        using (var again = new ZqkDeviceWatcher())
        {
            again.Start();
            Check(again.IsRunning, "free again");
        }
    }

    // Every export of the table src/api/exports.txt (name, ordinal, number of
    // 32-bit parameters, prototype) is declared, with as many parameters.
    private static void EveryExportIsDeclared()
    {
        var table = File.ReadAllLines(exportsTable).Select(l => l.Split((char[])null, StringSplitOptions.RemoveEmptyEntries))
                        .Where(f => f.Length >= 3 && !f[0].StartsWith("#")).ToDictionary(f => f[0], f => int.Parse(f[2]));
        var declared = typeof(ZqkNative).GetMethods(BindingFlags.Public | BindingFlags.Static)
                           .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0 && !m.Name.EndsWith("To"))
                           .ToDictionary(m => m.Name, m => m.GetParameters().Length);
        var missing = table.Where(e => !declared.TryGetValue(e.Key, out int count) || count != e.Value).Select(e => e.Key);
        Check(declared.Count == table.Count && !missing.Any(), "declared as exported: " + string.Join(", ", missing));
    }

    private static string exportsTable;

    private static int Main(string[] args)
    {
        top = Path.GetFullPath(args.Length > 0 ? args[0] : Path.Combine(Path.GetTempPath(), "zqk-dotnet-tests"));
        exportsTable = args.Length > 1 ? args[1] : "src/api/exports.txt";
        Directory.CreateDirectory(top);
        var tests = new Dictionary<string, Action>
        {
            { "every export is declared", EveryExportIsDeclared },
            { "identity and command", IdentityAndCommand },
            { "listing and files with progress", ListingAndFilesWithProgress },
            { "failures throw with their status", FailuresThrowWithTheirStatus },
            { "names read back are written back unchanged", NamesReadBackAreWrittenBackUnchanged },
            { "a callback that throws", ACallbackThatThrows },
            { "two devices at once", TwoDevicesAtOnce },
            { "devices lists no simulated one", DevicesListsNoSimulatedOne },
            { "disposed during a call", DisposedDuringACall },
            { "watching for devices", WatchingForDevices },
        };
        foreach (var test in tests)
        {
            try
            {
                test.Value();
                Console.WriteLine("ok     " + test.Key);
            }
            catch (Exception e)
            {
                ++failed;
                Console.WriteLine("FAILED " + test.Key + ": " + e);
            }
        }
        Console.WriteLine($"{tests.Count - failed} of {tests.Count} passed");
        return failed == 0 ? 0 : 1;
    }
}
