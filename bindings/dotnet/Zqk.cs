// zqkAPI for .NET: a device class on the library's handles (ZqkDevice). With
// ZqkTypes.cs (the binding's small types, text and the hand-written part of
// ZqkNative), ZqkDeviceWatcher.cs (devices arriving and leaving) and
// ZqkTables.cs, which the build generates from the library's lists of exports
// and statuses (the declaration of every export, ZqkNative, and ZqkStatus), no
// dependency beyond .NET Standard 2.0: include the four files of
// build/linux/bindings/dotnet in a project, or build Zqk.csproj there.
//
// The library is "zqkAPI": zqkAPI.dll beside the program on Windows (32-bit
// or 64-bit, as the process), libzqkAPI.so on the library path elsewhere.
// CallingConvention.Winapi is stdcall on 32-bit Windows, as the 32-bit DLL
// wants, and the platform's C convention everywhere else.
//
// Text crosses as bytes: device text (paths, names, commands, output) as
// UTF-8 both ways, a byte that is not UTF-8 as the lone surrogate U+DC00 +
// byte (ZqkText), so that no byte is lost; local paths as the system opens
// them (UTF-8 on Linux, the ANSI code page on Windows).
using System;
using System.Collections.Generic;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;

namespace Zqk
{
    /// <summary>An open device: a handle of the library's own, usable from any thread
    /// (calls on one device are serialised by the library, calls on different
    /// devices run in parallel). Every failure throws a ZqkException.</summary>
    public sealed class ZqkDevice : IDisposable
    {
        /// <summary>The output a command may have by default: the library loses output
        /// that does not fit the buffer it is given.</summary>
        public const int DefaultMaxOutput = 16 << 20;  // all the library hands back

        private const int NoDate = 2085805696; // the library's time for an entry without one
        private static readonly DateTime Epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Unspecified);
        private static readonly Version Required = new Version(1, 1, 0);
        private static readonly object Checking = new object();
        private static bool checkedLibrary;

        // The transfer running on this thread, whose callback gets the reports.
        [ThreadStatic] private static Transfer current;

        private readonly string name;
        private readonly DeviceHandle safe;
        private int handle;

        private ZqkDevice(int handle, string name)
        {
            this.handle = handle;
            this.name = name;
            safe = new DeviceHandle(handle, OnProgress);
            ZqkNative.zqkDevSetCallback(handle, safe.Callback, IntPtr.Zero);
        }

        // The library's handle, closed once nothing uses it any more: Dispose,
        // or the finalizer of a device the program no longer reaches, waits for
        // every call in progress on it (each holds a reference, OnHandle), so
        // that no call finds its handle closed half-way.
        private sealed class DeviceHandle : SafeHandle
        {
            public DeviceHandle(int handle, ZqkNative.DevProgressCallback callback) : base(IntPtr.Zero, true)
            {
                Callback = callback;
                SetHandle(new IntPtr(handle));
            }

            // Kept as long as the handle, so that the library never calls a
            // delegate that was collected.
            public ZqkNative.DevProgressCallback Callback { get; }
            public int Value => handle.ToInt32();
            public override bool IsInvalid => handle == IntPtr.Zero;
            protected override bool ReleaseHandle() => ZqkNative.zqkDevClose(handle.ToInt32()) == 0;
        }

        // ---- the library ----------------------------------------------------

        /// <summary>The release of the loaded library; a ZqkException (NoLibrary) when it
        /// cannot be loaded or is older than this binding's 1.1.0.</summary>
        public static Version LibraryVersion
        {
            get
            {
                int v = Loaded();
                return new Version(v >> 16, (v >> 8) & 0xFF, v & 0xFF);
            }
        }

        private static int Loaded()
        {
            int version;
            try
            {
                version = ZqkNative.zqkVersion();
            }
            catch (DllNotFoundException e)
            {
                throw new ZqkException(ZqkStatus.NoLibrary, "the zqkAPI library was not found (put zqkAPI.dll beside the program, " +
                                       "or libzqkAPI.so on the library path): " + e.Message);
            }
            catch (EntryPointNotFoundException)
            {
                throw new ZqkException(ZqkStatus.NoLibrary, $"the zqkAPI library that was loaded has no zqkVersion: it is older than {Required}");
            }
            catch (BadImageFormatException e)
            {
                throw new ZqkException(ZqkStatus.NoLibrary, "the zqkAPI library is not for this process (32-bit or 64-bit?): " + e.Message);
            }
            var loaded = new Version(version >> 16, (version >> 8) & 0xFF, version & 0xFF);
            if (loaded.Major != Required.Major || loaded < Required)
                throw new ZqkException(ZqkStatus.NoLibrary, $"zqkAPI {loaded} is loaded, but this binding needs {Required} or a later {Required.Major}.x");
            return version;
        }

        internal static void EnsureLibrary()
        {
            if (checkedLibrary)
                return;
            lock (Checking)
            {
                Loaded();
                checkedLibrary = true;
            }
        }

        // ---- statuses and text ------------------------------------------------

        /// <summary>The exception for the calling thread's last call, null after success.</summary>
        public static ZqkException LastFailure()
        {
            int status = ZqkNative.zqkLastStatus();
            if (status == 0)
                return null;
            string text = FromDevice(TextOf((b, s) => ZqkNative.zqkStatusText(b, s), 1024));
            return new ZqkException((ZqkStatus)status, text);
        }

        private static int Checked(int result)
        {
            ZqkException failure = LastFailure();
            if (failure != null)
                throw failure;
            return result;
        }

        private delegate int BufferCall(byte[] buffer, int size);

        // The text of an export that follows the buffer-return convention and may
        // be asked again: an answer too small tells the size needed.
        private static byte[] TextOf(BufferCall call, int size = 256)
        {
            for (;;)
            {
                var buffer = new byte[size];
                int n = call(buffer, size);
                if (n >= 0)
                {
                    Array.Resize(ref buffer, n);
                    return buffer;
                }
                if (n == -1) // with room for the zero byte, -1 is a failure
                {
                    Checked(n);
                    throw new ZqkException(ZqkStatus.Ok, "the call failed without a reason");
                }
                size = -n;
            }
        }

        private static string FromDevice(byte[] bytes) => ZqkText.FromDevice(bytes, bytes.Length);

        // ---- finding and opening ------------------------------------------------

        /// <summary>The present devices that match, without opening them (a simulated
        /// device is never listed).</summary>
        public static IReadOnlyList<ZqkDeviceInfo> Devices()
        {
            EnsureLibrary();
            int count = Checked(ZqkNative.zqkFindDevices());
            var found = new List<ZqkDeviceInfo>();
            for (int i = 0; i < count; ++i)
            {
                int index = i;
                found.Add(new ZqkDeviceInfo(type => FromDevice(TextOf((b, s) => ZqkNative.zqkFoundDevice(index, type, b, s)))));
            }
            return found;
        }

        /// <summary>Opens a device: the first matching one (null), the one on a path
        /// from Devices(), the one with a serial number, or the simulated device
        /// "sim:DIR" kept in folder DIR (options as in zqkAPI.h, e.g.
        /// "sim:DIR?pace=host&amp;serial=X").</summary>
        public static ZqkDevice Open(string pathOrSerial = null)
        {
            EnsureLibrary();
            bool simulated = pathOrSerial != null && pathOrSerial.StartsWith("sim:", StringComparison.Ordinal);
            byte[] argument = simulated ? ZqkText.LocalPath(pathOrSerial, "the simulated device's path")
                                        : ZqkText.Device(pathOrSerial, "the device");
            int handle = ZqkNative.zqkDevOpen(argument);
            if (handle <= 0)
            {
                Checked(handle);
                throw new ZqkException(ZqkStatus.Ok, "the device could not be opened");
            }
            return new ZqkDevice(handle, pathOrSerial ?? "first matching device");
        }

        // ---- life -------------------------------------------------------------

        /// <summary>The library's handle (for ZqkNative's zqkDev functions); 0 once disposed.</summary>
        public int Handle => handle;

        public void Dispose()
        {
            System.Threading.Interlocked.Exchange(ref handle, 0);
            safe.Dispose();  // closes the handle now, or when the last call on it returns
        }

        public override string ToString() => handle != 0 ? name : name + " (closed)";

        // Runs call with the library's handle, which stays open until it
        // returns. The status is read inside call: closing a handle after it
        // sets the thread's status anew.
        private T OnHandle<T>(Func<int, T> call)
        {
            bool added = false;
            try
            {
                if (handle != 0)
                {
                    try
                    {
                        safe.DangerousAddRef(ref added);
                    }
                    catch (ObjectDisposedException)
                    {
                    }
                }
                if (!added)
                    throw new ZqkException(ZqkStatus.Argument, $"the device {name} was disposed");
                return call(safe.Value);
            }
            finally
            {
                if (added)
                    safe.DangerousRelease();
            }
        }

        // ---- identity ---------------------------------------------------------

        /// <summary>The device's path: its system node, or sim:DIR.</summary>
        public string Path
        {
            get
            {
                return OnHandle(h => ZqkText.FromDevicePath(TextOf((b, s) => ZqkNative.zqkDevUsbPath(h, b, s))));
            }
        }

        public string Serial => UsbString(0);
        public string Manufacturer => UsbString(1);
        public string Product => UsbString(2);

        /// <summary>A USB string: 0 serial number, 1 manufacturer, 2 product, 200 to 255
        /// the device's string with that index.</summary>
        public string UsbString(int index)
        {
            return OnHandle(h => FromDevice(TextOf((b, s) => ZqkNative.zqkDevUsbDetail(h, index, b, s))));
        }

        /// <summary>"application", "bootloader", "ate" or "unknown", from the product string.</summary>
        public string RunMode
        {
            get
            {
                return OnHandle(h =>
                {
                    if (Checked(ZqkNative.zqkDevIsRunningApp(h)) == 1)
                        return "application";
                    if (Checked(ZqkNative.zqkDevIsRunningBootloader(h)) == 1)
                        return "bootloader";
                    return Checked(ZqkNative.zqkDevIsRunningATE(h)) == 1 ? "ate" : "unknown";
                });
            }
        }

        /// <summary>False once the device went away or was disposed.</summary>
        public bool IsOpen
        {
            get
            {
                try
                {
                    return OnHandle(h => ZqkNative.zqkDevIsOpen(h) == 1);
                }
                catch (ZqkException)
                {
                    return false; // disposed
                }
            }
        }

        // ---- terminal -----------------------------------------------------------

        /// <summary>Runs one command line on the device's terminal and returns its output
        /// up to the device's next prompt. timeoutMs bounds each silence of the
        /// device. Output larger than maxOutput bytes is lost (the library has taken
        /// it from the device): a ZqkException with ZqkStatus.Buffer.</summary>
        public string Command(string line, int timeoutMs = 2000, int maxOutput = DefaultMaxOutput)
        {
            byte[] command = ZqkText.Device(line, "the command line");
            return OnHandle(h => LargeText($"the output of \"{line}\"", maxOutput, false,
                                           (buffer, size) => ZqkNative.zqkDevCommandTo(h, command, buffer, size, timeoutMs)));
        }

        /// <summary>The terminal output up to the next prompt's end, or what came before
        /// timeoutMs of silence; "" when nothing came.</summary>
        public string FlushPrompt(int timeoutMs = 250, int maxOutput = DefaultMaxOutput)
        {
            return OnHandle(h => LargeText("the terminal's output", maxOutput, true,
                                           (buffer, size) => ZqkNative.zqkDevFlushPromptTo(h, buffer, size, timeoutMs)));
        }

        // Output that is lost when it does not fit: a buffer of maxOutput bytes
        // in unmanaged memory, which is not zeroed first.
        private static string LargeText(string what, int maxOutput, bool silenceIsEmpty, Func<IntPtr, int, int> call)
        {
            int size = checked(maxOutput + 1);
            IntPtr buffer = Marshal.AllocHGlobal(size);
            try
            {
                int n = call(buffer, size);
                int status = ZqkNative.zqkLastStatus();
                if (n < -1 && status == (int)ZqkStatus.Buffer)
                    throw new ZqkException(ZqkStatus.Buffer, $"{what}, {-(long)n - 1} bytes, was larger than {maxOutput} bytes and was lost");
                if (silenceIsEmpty && n == 0 && status == (int)ZqkStatus.Timeout)
                    return "";
                var output = new byte[Checked(n)];
                Marshal.Copy(buffer, output, 0, n);
                return FromDevice(output);
            }
            finally
            {
                Marshal.FreeHGlobal(buffer);
            }
        }

        /// <summary>Sends an escape: false when the prompt that answers asks for a
        /// password, true otherwise.</summary>
        public bool Escape() => OnHandle(h => Checked(ZqkNative.zqkDevEscape(h))) == 1;

        /// <summary>Sends an escape; whether the prompt shown contains pattern.</summary>
        public bool IsPrompt(string pattern)
        {
            byte[] text = ZqkText.Device(pattern, "the pattern");
            return OnHandle(h => Checked(ZqkNative.zqkDevIsPrompt(h, text))) == 1;
        }

        /// <summary>Sets the prompt that ends a command's output ("": only silence ends it).</summary>
        public void SetPrompt(string prompt)
        {
            byte[] text = ZqkText.Device(prompt, "the prompt");
            OnHandle(h =>
            {
                ZqkNative.zqkDevSetPrompt(h, text);
                return Checked(0);
            });
        }

        /// <summary>Sends raw bytes on the terminal channel.</summary>
        public void Send(byte[] data, int timeoutMs = 1000)
        {
            if (OnHandle(h => Checked(ZqkNative.zqkDevTermTx(h, data, data.Length, timeoutMs))) != 1)
                throw new ZqkException(ZqkStatus.Ok, "the data could not be sent");
        }

        /// <summary>The data of one packet from the terminal channel (up to 61 bytes),
        /// waiting up to timeoutMs; empty when none came.</summary>
        public byte[] Receive(int timeoutMs = 1000)
        {
            var buffer = new byte[256];
            return OnHandle(h =>
            {
                int n = ZqkNative.zqkDevTermRx(h, buffer, buffer.Length, timeoutMs);
                if (ZqkNative.zqkLastStatus() == (int)ZqkStatus.Timeout)
                    return new byte[0];
                Array.Resize(ref buffer, Checked(n));
                return buffer;
            });
        }

        /// <summary>True as soon as a device with that path or serial number (any
        /// matching one for null) is present, false after timeoutMs (-1: no limit).</summary>
        public static bool WaitForDevice(string pathOrSerial, int timeoutMs)
        {
            EnsureLibrary();
            if (ZqkNative.zqkWaitForDevice(ZqkText.Device(pathOrSerial, "the device"), timeoutMs) == 1)
                return true;
            int status = ZqkNative.zqkLastStatus();
            if (status != (int)ZqkStatus.NoDevice && status != (int)ZqkStatus.Timeout)
                Checked(0);
            return false;
        }

        // ---- file system --------------------------------------------------------

        /// <summary>The entries of a device folder.</summary>
        public IReadOnlyList<ZqkEntry> ListDirectory(string path = "/")
        {
            byte[] folder = ZqkText.Device(path, "the device path");
            return OnHandle(h => Entries(h, folder));
        }

        private static IReadOnlyList<ZqkEntry> Entries(int h, byte[] folder)
        {
            int count = Checked(ZqkNative.zqkDevDir(h, folder));
            var entries = new List<ZqkEntry>();
            for (int index = 0; index < count; ++index)
            {
                int size = 0, attributes = 0, time = 0, room = 256, n;
                byte[] entryName;
                do
                {
                    entryName = new byte[room];
                    n = ZqkNative.zqkDevGetDirEntry(h, index, entryName, room, out size, out attributes, out time);
                    room = -n;
                } while (n < -1);
                if (n == -1)
                    continue; // a line the device printed that is no entry
                entries.Add(new ZqkEntry(ZqkText.FromDevice(entryName, n), size, attributes & 0xFF, DeviceTime(time)));
            }
            return entries;
        }

        // The library passes the unsigned seconds of the device's local time in a signed int.
        private static DateTime? DeviceTime(int time) => time == NoDate ? (DateTime?)null : Epoch.AddSeconds((uint)time);

        private static int DeviceSeconds(DateTime when)
        {
            if (when.Kind == DateTimeKind.Utc)
                when = when.ToLocalTime();
            double seconds = Math.Floor((when - Epoch).TotalSeconds);
            if (seconds < 0 || seconds > int.MaxValue)
                throw new ZqkException(ZqkStatus.Argument, $"the library takes times from 1970 to 2038-01-19 03:14:07, not {when:u}");
            return (int)seconds;
        }

        /// <summary>Copies a device file to a local file and returns the number of bytes.
        /// progress gets (done, total) after every block. On failure the local file
        /// is left as it was.</summary>
        public long Get(string devicePath, string localPath, IProgress<(long Done, long Total)> progress = null)
        {
            byte[] source = ZqkText.Device(devicePath, "the device path");
            byte[] target = ZqkText.LocalPath(localPath);
            return Transferred(progress, h => ZqkNative.zqkDevFileRead(h, source, target));
        }

        /// <summary>Copies a local file to the device and returns the number of bytes.
        /// modified gives the device file that time stamp (Unspecified or Local: the
        /// device's local time as it is; Utc: in this machine's local time); without
        /// it the device stamps the file itself.</summary>
        public long Put(string localPath, string devicePath, IProgress<(long Done, long Total)> progress = null,
                        DateTime? modified = null)
        {
            byte[] source = ZqkText.LocalPath(localPath);
            byte[] target = ZqkText.Device(devicePath, "the device path");
            if (modified == null)
                return Transferred(progress, h => ZqkNative.zqkDevFileWrite(h, source, target));
            int seconds = DeviceSeconds(modified.Value);
            return Transferred(progress, h => ZqkNative.zqkDevFileWriteAt(h, source, target, seconds));
        }

        /// <summary>The bytes of a device file, read into memory; progress as for Get. The
        /// file crosses the link once: one larger than the first guess stays with the
        /// library until the second call that makes room for it.</summary>
        public byte[] ReadAllBytes(string devicePath, IProgress<(long Done, long Total)> progress = null)
        {
            byte[] source = ZqkText.Device(devicePath, "the device path");
            var buffer = new byte[FirstReadRoom];
            for (int attempt = 0; attempt < 3; attempt++) // a third for a file changed between
            {
                byte[] room = buffer;
                long n = Transferred(progress, h => ZqkNative.zqkDevFileReadBuffer(h, source, room, room.Length),
                                     ZqkStatus.Buffer);
                if (n >= 0)
                {
                    Array.Resize(ref buffer, (int)n);
                    return buffer;
                }
                buffer = new byte[Math.Max(-n - 1, 1)]; // the file's size
            }
            throw new ZqkException(ZqkStatus.Buffer, $"{devicePath} changed size at every read");
        }

        /// <summary>Writes data to a device file and returns the number of bytes;
        /// modified as for Put. Empty data sends nothing, as an empty local file does.</summary>
        public long WriteAllBytes(string devicePath, byte[] data, IProgress<(long Done, long Total)> progress = null,
                                  DateTime? modified = null)
        {
            byte[] target = ZqkText.Device(devicePath, "the device path");
            if (data == null)
                throw new ArgumentNullException(nameof(data));
            int seconds = modified == null ? 0 : DeviceSeconds(modified.Value);
            return Transferred(progress, h => ZqkNative.zqkDevFileWriteBuffer(h, data, data.Length, target, seconds));
        }

        private const int FirstReadRoom = 1 << 16;

        /// <summary>Sends a firmware image and returns the number of bytes sent.</summary>
        public long Flash(string imagePath, IProgress<(long Done, long Total)> progress = null)
        {
            byte[] image = ZqkText.LocalPath(imagePath, "the image's path");
            return Transferred(progress, h => ZqkNative.zqkDevFirmwareUpdate(h, image));
        }

        public void MakeDirectory(string path) => OnPath(path, (h, p) => ZqkNative.zqkDevDirMake(h, p));
        public void RemoveDirectory(string path) => OnPath(path, (h, p) => ZqkNative.zqkDevDirRemove(h, p));
        public void Delete(string path) => OnPath(path, (h, p) => ZqkNative.zqkDevFileDelete(h, p));
        public void Rename(string oldPath, string newPath)
        {
            byte[] newText = ZqkText.Device(newPath, "the new device path");
            OnPath(oldPath, (h, p) => ZqkNative.zqkDevRename(h, p, newText));
        }

        private void OnPath(string path, Func<int, byte[], int> call)
        {
            byte[] text = ZqkText.Device(path, "the device path");
            OnHandle(h => Checked(call(h, text)));
        }

        // ---- progress -----------------------------------------------------------

        // One transfer's progress and the exception its reporting threw. The
        // library cannot stop a transfer from its callback, and an exception must
        // not cross into it: the first one is kept, later reports are not passed
        // on, the transfer runs to its end and the exception is thrown when the
        // call returns.
        private sealed class Transfer
        {
            public ZqkDevice Owner;
            public IProgress<(long Done, long Total)> Progress;
            public ExceptionDispatchInfo Error;
        }

        private void OnProgress(IntPtr user, int position, int total)
        {
            Transfer transfer = current;
            if (transfer == null || transfer.Owner != this || transfer.Progress == null || transfer.Error != null || position < 0)
                return; // (-1, -1) only says that the transfer ended
            try
            {
                transfer.Progress.Report((position, total));
            }
            catch (Exception e)
            {
                transfer.Error = ExceptionDispatchInfo.Capture(e);
            }
        }

        private long Transferred(IProgress<(long Done, long Total)> progress, Func<int, int> call,
                                 ZqkStatus? tolerated = null)
        {
            var transfer = new Transfer { Owner = this, Progress = progress };
            Transfer outer = current;
            current = transfer;
            int result = 0;
            ZqkException failure = null;
            try
            {
                OnHandle(h =>
                {
                    result = call(h);
                    failure = LastFailure(); // right after the call, on this thread
                    return 0;
                });
            }
            finally
            {
                current = outer;
            }
            transfer.Error?.Throw();
            if (failure != null && failure.Status != tolerated)
                throw failure;
            return result;
        }
    }
}
