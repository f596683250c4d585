// zqkAPI for .NET: the binding's small types (ZqkException, ZqkProgress,
// ZqkDeviceInfo, ZqkEntry), the hand-written part of the export declarations
// (ZqkNative) and the text conversions (ZqkText). Zqk.cs has the device class,
// ZqkTables.cs (generated) the declaration of every export and the statuses.
using System;
using System.Globalization;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Zqk
{
    /// <summary>A failure of a zqkAPI call: the status and the library's line saying
    /// what failed and why, as zqkLastStatus and zqkStatusText gave them right
    /// after the call, on the calling thread. An IOException, as .NET's own file and
    /// device failures are. Status says its kind (NoDevice, Access, Busy, Timeout, Gone, Refused,
    /// LocalFile, Argument...); IsNotFound is a refusal for a file or folder the device does
    /// not have (a FileNotFoundException's case), IsTimeout the device's silence (a
    /// TimeoutException's). For refusals DeviceCode and DeviceText are the device's answer
    /// (4 and "No file" of "4:No file"), else null.</summary>
    public class ZqkException : IOException
    {
        private static readonly Regex DeviceAnswer = new Regex(@": (\d+):([^:\n]*)$");

        public ZqkException(ZqkStatus status, string text) : base(text)
        {
            Status = status;
            Text = text;
            Match answer = status == ZqkStatus.Refused ? DeviceAnswer.Match(text ?? "") : Match.Empty;
            if (answer.Success)
            {
                DeviceCode = int.Parse(answer.Groups[1].Value, CultureInfo.InvariantCulture);
                DeviceText = answer.Groups[2].Value;
            }
        }

        public ZqkStatus Status { get; }
        public string Text { get; }
        public int? DeviceCode { get; }
        public string DeviceText { get; }
        public bool IsNotFound => DeviceCode == 4 || DeviceCode == 5;
        public bool IsTimeout => Status == ZqkStatus.Timeout;
    }

    /// <summary>The progress of a transfer reported synchronously, on the thread that
    /// runs the transfer (Progress&lt;T&gt; posts its reports to another thread
    /// instead, where an exception cannot reach the caller).</summary>
    public sealed class ZqkProgress : IProgress<ValueTuple<long, long>>
    {
        private readonly Action<long, long> report;

        public ZqkProgress(Action<long, long> report)
        {
            this.report = report ?? throw new ArgumentNullException(nameof(report));
        }

        public void Report(ValueTuple<long, long> value) => report(value.Item1, value.Item2);
    }

    /// <summary>A present device as ZqkDevice.Devices finds it (nothing is opened).</summary>
    public sealed class ZqkDeviceInfo
    {
        // field gives the found entry's text of a zqkFoundDevice type.
        internal ZqkDeviceInfo(Func<int, string> field)
        {
            Path = field(-1);
            Serial = field(0);
            Manufacturer = field(1);
            Product = field(2);
        }

        public string Path { get; }
        public string Serial { get; }
        public string Manufacturer { get; }
        public string Product { get; }
    }

    /// <summary>One entry of a device folder. Modified is the device's time stamp
    /// (DateTimeKind.Unspecified: the device keeps its local time without a time
    /// zone), null when the device gave no date.</summary>
    public sealed class ZqkEntry
    {
        public const int ReadOnly = 0x01, Hidden = 0x02, SystemFile = 0x04, Directory = 0x10, Archive = 0x20;

        internal ZqkEntry(string name, long size, int attributes, DateTime? modified)
        {
            Name = name;
            Size = size;
            Attributes = attributes;
            Modified = modified;
        }

        public string Name { get; }
        public long Size { get; }
        public int Attributes { get; }
        public DateTime? Modified { get; }
        public bool IsDirectory => (Attributes & Directory) != 0;

        public override string ToString() => Name;
    }

    /// <summary>The library's exports as they are, for what ZqkDevice does not offer.
    /// Text arguments are zero-terminated byte arrays (ZqkText.Device makes them);
    /// results follow the buffer-return convention of zqkAPI.h. The declaration
    /// of every export is generated into ZqkTables.cs from the library's list of
    /// exports; what is written here is what that list does not say.</summary>
    public static partial class ZqkNative
    {
        public const string Library = "zqkAPI";
        private const CallingConvention Call = CallingConvention.Winapi;

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void ProgressCallback(int userData, int position, int total);

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void DevProgressCallback(IntPtr userData, int position, int total);

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void DevCommandLogCallback(IntPtr userData, IntPtr line);

        // The same as zqkDevCommand and zqkDevFlushPrompt, into unmanaged memory:
        // a large buffer that is not zeroed first.
        [DllImport(Library, CallingConvention = Call, EntryPoint = "zqkDevCommand")] public static extern int zqkDevCommandTo(int device, byte[] command, IntPtr buffer, int size, int timeout);
        [DllImport(Library, CallingConvention = Call, EntryPoint = "zqkDevFlushPrompt")] public static extern int zqkDevFlushPromptTo(int device, IntPtr buffer, int size, int timeout);
    }

    /// <summary>Text as the library takes and gives it.</summary>
    public static class ZqkText
    {
        private static readonly Encoding Latin1 =
            Encoding.GetEncoding(28591, EncoderFallback.ExceptionFallback, DecoderFallback.ExceptionFallback);
        private static readonly Encoding Local = LocalEncoding();

        /// <summary>Device text, zero-terminated, as latin-1; null stays null (NULL counts as "").</summary>
        public static byte[] Device(string text, string what = "the device text") => Terminated(text, Latin1, what);

        /// <summary>A local file's path, zero-terminated, as the system opens files.</summary>
        public static byte[] LocalPath(string path, string what = "the local path") => Terminated(path, Local, what);

        /// <summary>Bytes of device text as a string, one character per byte.</summary>
        public static string FromDevice(byte[] bytes, int count) => Latin1.GetString(bytes, 0, count);

        /// <summary>A device's path: "sim:" and a local folder, or the device's text.</summary>
        public static string FromDevicePath(byte[] bytes)
        {
            bool simulated = bytes.Length >= 4 && bytes[0] == 's' && bytes[1] == 'i' && bytes[2] == 'm' && bytes[3] == ':';
            try
            {
                return (simulated ? Local : Latin1).GetString(bytes);
            }
            catch (DecoderFallbackException)
            {
                return Latin1.GetString(bytes);
            }
        }

        private static byte[] Terminated(string text, Encoding encoding, string what)
        {
            if (text == null)
                return null;
            if (text.IndexOf('\0') >= 0)
                throw new ZqkException(ZqkStatus.Argument, $"{what} \"{text}\" holds a zero character");
            try
            {
                byte[] bytes = new byte[encoding.GetByteCount(text) + 1];
                encoding.GetBytes(text, 0, text.Length, bytes, 0);
                return bytes;
            }
            catch (EncoderFallbackException)
            {
                throw new ZqkException(ZqkStatus.Argument, $"{what} \"{text}\" has a character that {encoding.WebName} does not hold");
            }
        }

        // The DLL opens local files with the A functions: the ANSI code page. A
        // runtime without that code page (.NET Core without the CodePages
        // provider) gets latin-1, its first 256 characters.
        private static Encoding LocalEncoding()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT)
                return new UTF8Encoding(false, true);
            try
            {
                return Encoding.GetEncoding(CultureInfo.CurrentCulture.TextInfo.ANSICodePage,
                                            EncoderFallback.ExceptionFallback, DecoderFallback.ExceptionFallback);
            }
            catch (Exception)
            {
                return Latin1;
            }
        }
    }
}
