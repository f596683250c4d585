// zqkAPI for .NET: devices arriving and leaving (ZqkDeviceWatcher), on the
// library's watch, which calls back on a thread of its own. The library
// watches for one callback at a time, so the binding keeps one watcher at a
// time too and refuses a second (ZqkStatus.Busy) rather than silently ending
// the first.
using System;
using System.Threading;

namespace Zqk
{
    /// <summary>A device that arrived or left: its path as ZqkDevice.Devices() gives it
    /// and ZqkDevice.Open takes it, and its USB serial number ("" when it has none).</summary>
    public sealed class ZqkDeviceEventArgs : EventArgs
    {
        public ZqkDeviceEventArgs(string path, string serial)
        {
            Path = path;
            Serial = serial;
        }

        public string Path { get; }
        public string Serial { get; }
    }

    /// <summary>Watches for matching devices (those ZqkDevice.Devices() lists) that arrive or
    /// leave. Subscribe to Arrived and Left, then Start(): Arrived is raised for every
    /// device present, then Arrived or Left for each arrival and removal as it
    /// happens, one at a time, on the library's own thread (not the caller's, and
    /// not a SynchronizationContext's: marshal to a UI thread yourself). A handler
    /// may call any method, ZqkDevice.Open of the device that arrived included.
    /// Dispose() ends the watch, from any thread, a handler included: once it has
    /// returned no handler runs. A handler that throws ends the watch too; the
    /// exception is kept in Failure. One watcher runs at a time: Start() of a second
    /// throws a ZqkException with ZqkStatus.Busy, and NoDevice where the system
    /// cannot watch for devices. Simulated devices are never reported.</summary>
    public sealed class ZqkDeviceWatcher : IDisposable
    {
        private static readonly object Owning = new object();
        private static ZqkDeviceWatcher owner; // the watcher the library calls back, until its stop has returned

        private readonly object state = new object();
        private volatile bool started, stopping;
        private bool released;
        private volatile int dispatching; // the managed thread running a handler now, 0 for none

        public ZqkDeviceWatcher()
        {
            // Kept as long as the watcher: the library calls it until its stop has returned.
            Callback = OnDevice;
        }

        /// <summary>A matching device arrived, or was present when the watch started.</summary>
        public event EventHandler<ZqkDeviceEventArgs> Arrived;

        /// <summary>A matching device left.</summary>
        public event EventHandler<ZqkDeviceEventArgs> Left;

        /// <summary>Whether the watch has started and still raises events.</summary>
        public bool IsRunning => started && !stopping;

        /// <summary>The exception a handler threw, which ended the watch; null otherwise.</summary>
        public Exception Failure { get; private set; }

        internal ZqkNative.DeviceCallback Callback { get; }

        /// <summary>Starts the watch; a watcher starts once.</summary>
        public void Start()
        {
            ZqkDevice.EnsureLibrary();
            lock (Owning)
            {
                if (started || stopping)
                    throw new ZqkException(ZqkStatus.Argument, "a device watcher starts once: make a new one");
                if (owner != null)
                    throw new ZqkException(ZqkStatus.Busy, "a device watcher is running already: dispose of it first (one at a time)");
                owner = this;
                started = true;
            }
            if (ZqkNative.zqkSetDeviceCallback(Callback, IntPtr.Zero) != 0)
            {
                var failure = ZqkDevice.LastFailure() ?? new ZqkException(ZqkStatus.Ok, "watching for devices failed without a reason");
                Release();
                throw failure;
            }
        }

        private void OnDevice(IntPtr userData, int arrived, IntPtr path, IntPtr serial)
        {
            if (stopping)
                return;
            var device = new ZqkDeviceEventArgs(ZqkText.FromDevice(path), ZqkText.FromDevice(serial));
            dispatching = Thread.CurrentThread.ManagedThreadId;
            try
            {
                (arrived != 0 ? Arrived : Left)?.Invoke(this, device);
            }
            catch (Exception e) // it must not cross into the library's thread, which would end the process
            {
                Failure = e;
                Dispose();
            }
            finally
            {
                dispatching = 0;
            }
        }

        /// <summary>Ends the watch; once it has returned no handler runs. Disposing twice
        /// does nothing.</summary>
        public void Dispose()
        {
            bool first;
            lock (state)
            {
                first = !stopping;
                stopping = true; // from now on no event is raised
            }
            if (!first)
            {
                // Another thread is stopping the library's watch: wait for it, unless
                // that thread waits for this handler to return.
                if (dispatching != Thread.CurrentThread.ManagedThreadId)
                    WaitUntilReleased();
                return;
            }
            try
            {
                bool mine;
                lock (Owning)
                    mine = owner == this;
                if (mine)
                    ZqkNative.zqkSetDeviceCallback(null, IntPtr.Zero);
            }
            finally
            {
                Release();
            }
        }

        // Lets the next watcher start, once the library calls this one no more.
        private void Release()
        {
            stopping = true;
            lock (Owning)
            {
                if (owner == this)
                    owner = null;
            }
            lock (state)
            {
                released = true;
                Monitor.PulseAll(state);
            }
        }

        private void WaitUntilReleased()
        {
            lock (state)
            {
                while (!released)
                    Monitor.Wait(state);
            }
        }
    }
}
