// zqkAPI for .NET: the binding's small types (ZqkException, ZqkProgress,
// ZqkDeviceInfo, ZqkEntry), the hand-written part of the export declarations
// (ZqkNative) and the text conversions (ZqkText). Zqk.cs has the device class,
// ZqkDeviceWatcher.cs the watch for devices arriving and leaving, ZqkTables.cs
// (generated) the declaration of every export and the statuses.
using System;
using System.Collections.Generic;
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

        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate void DeviceCallback(IntPtr userData, int arrived, IntPtr path, IntPtr serial);

        // The same as zqkDevCommand and zqkDevFlushPrompt, into unmanaged memory:
        // a large buffer that is not zeroed first.
        [DllImport(Library, CallingConvention = Call, EntryPoint = "zqkDevCommand")] public static extern int zqkDevCommandTo(int device, byte[] command, IntPtr buffer, int size, int timeout);
        [DllImport(Library, CallingConvention = Call, EntryPoint = "zqkDevFlushPrompt")] public static extern int zqkDevFlushPromptTo(int device, IntPtr buffer, int size, int timeout);
    }

    /// <summary>Text as the library takes and gives it. Device text (names, paths,
    /// commands and their output) is bytes on the device, read and written as UTF-8;
    /// a byte that is not part of UTF-8 reads as the lone surrogate U+DC00 + byte and
    /// is written back as that byte (as Python's "surrogateescape" does), so that
    /// every name read can be written back unchanged.</summary>
    public static class ZqkText
    {
        private static readonly Encoding Latin1 =
            Encoding.GetEncoding(28591, EncoderFallback.ExceptionFallback, DecoderFallback.ExceptionFallback);
        private static readonly Encoding Utf8 = new UTF8Encoding(false, true);
        private static readonly Encoding Local = LocalEncoding();

        /// <summary>Device text, zero-terminated, as the device gets it; null stays null
        /// (NULL counts as "").</summary>
        public static byte[] Device(string text, string what = "the device text") =>
            text == null ? null : Terminated(DeviceBytes(ZeroFree(text, what), what));

        /// <summary>A local file's path, zero-terminated, as the system opens files.</summary>
        public static byte[] LocalPath(string path, string what = "the local path") =>
            path == null ? null : Terminated(Encoded(ZeroFree(path, what), Local, what));

        /// <summary>Zero-terminated device text that the library lends a callback, as a
        /// string (FromDevice); NULL is "".</summary>
        public static string FromDevice(IntPtr text)
        {
            int count = 0;
            while (text != IntPtr.Zero && Marshal.ReadByte(text, count) != 0)
                ++count;
            var bytes = new byte[count];
            if (count > 0)
                Marshal.Copy(text, bytes, 0, count);
            return FromDevice(bytes, count);
        }

        /// <summary>Bytes of device text as a string: UTF-8, each byte that is not UTF-8
        /// as its lone surrogate.</summary>
        public static string FromDevice(byte[] bytes, int count)
        {
            var text = new StringBuilder(count);
            for (int start = 0, end = 0; start < count; start = ++end)
            {
                int length;
                while (end < count && (length = Utf8Length(bytes, end, count)) > 0)
                    end += length;
                text.Append(Utf8.GetString(bytes, start, end - start));
                if (end < count)
                    text.Append((char)(0xDC00 + bytes[end]));
            }
            return text.ToString();
        }

        // The length of the well-formed UTF-8 sequence at bytes[at], 0 where none
        // starts there: the lead byte's range and the allowed range of the byte
        // after it exclude overlong forms, surrogates and code points beyond
        // U+10FFFF, as Python's decoder does.
        private static int Utf8Length(byte[] bytes, int at, int count)
        {
            byte lead = bytes[at];
            if (lead < 0x80)
                return 1;
            int length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
            if (length == 0 || at + length > count)
                return 0;
            int low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            int high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            if (bytes[at + 1] < low || bytes[at + 1] > high)
                return 0;
            for (int i = 2; i < length; ++i)
            {
                if (bytes[at + i] < 0x80 || bytes[at + i] > 0xBF)
                    return 0;
            }
            return length;
        }

        // Device text as UTF-8, each lone surrogate U+DC80 to U+DCFF as the byte
        // it stands for; another lone surrogate stands for no byte.
        private static byte[] DeviceBytes(string text, string what)
        {
            var bytes = new List<byte>(text.Length);
            int start = 0;
            for (int i = 0; i < text.Length; ++i)
            {
                if (char.IsSurrogatePair(text, i))
                {
                    ++i;
                    continue;
                }
                if (!char.IsSurrogate(text[i]))
                    continue;
                if (text[i] < 0xDC80 || text[i] > 0xDCFF)
                    throw new ZqkException(ZqkStatus.Argument, $"{what} \"{text}\" holds a lone surrogate that stands for no byte");
                bytes.AddRange(Utf8.GetBytes(text.Substring(start, i - start)));
                bytes.Add((byte)(text[i] - 0xDC00));
                start = i + 1;
            }
            bytes.AddRange(Utf8.GetBytes(text.Substring(start)));
            return bytes.ToArray();
        }

        /// <summary>A device's path: "sim:" and a local folder, or the device's text.</summary>
        public static string FromDevicePath(byte[] bytes)
        {
            bool simulated = bytes.Length >= 4 && bytes[0] == 's' && bytes[1] == 'i' && bytes[2] == 'm' && bytes[3] == ':';
            if (!simulated)
                return FromDevice(bytes, bytes.Length);
            try
            {
                return Local.GetString(bytes);
            }
            catch (DecoderFallbackException)
            {
                return Latin1.GetString(bytes);
            }
        }

        private static string ZeroFree(string text, string what)
        {
            if (text.IndexOf('\0') >= 0)
                throw new ZqkException(ZqkStatus.Argument, $"{what} \"{text}\" holds a zero character");
            return text;
        }

        private static byte[] Encoded(string text, Encoding encoding, string what)
        {
            try
            {
                return encoding.GetBytes(text);
            }
            catch (EncoderFallbackException)
            {
                throw new ZqkException(ZqkStatus.Argument, $"{what} \"{text}\" has a character that {encoding.WebName} does not hold");
            }
        }

        private static byte[] Terminated(byte[] bytes)
        {
            Array.Resize(ref bytes, bytes.Length + 1);
            return bytes;
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
