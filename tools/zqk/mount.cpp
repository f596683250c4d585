// zqk mount DIR: the device's file system as a local folder, through FUSE 3.
//
// The device moves whole files only: a file is fetched whole when it is first
// read and served from the local file it was fetched into; a file written is
// kept in such a file and sent whole, with its time, when it is closed or
// synced. What the device does not take then (another program holds it) stays
// kept under its name and is sent again until it is taken. Listings are kept
// for a short time and dropped on every change made through the mount. Names
// are matched as the device matches them (DeviceNames). The FUSE loop runs on
// one thread, the resender on another; every call of either holds the one
// lock of the mount's state (MountedFiles::calls): the device answers one
// request at a time anyway.
#include "mount_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "subcommands.h"
#include "tool.h"
#include "zqkAPI.h"

namespace zqktool {

namespace {

using namespace mounting;

// Sends again, every kResendEvery while the mount serves, what closed files
// could not send.
class Resender {
public:
    explicit Resender(MountedFiles& Files) : files_(Files), thread_([this] { Run(); }) {}
    ~Resender()
    {
        {
            const std::lock_guard<std::mutex> hold(stop_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Resender(const Resender&) = delete;
    Resender& operator=(const Resender&) = delete;

private:
    void Run()
    {
        std::unique_lock<std::mutex> waiting(stop_);
        while (!wake_.wait_for(waiting, kResendEvery, [&] { return stopped_; })) {
            waiting.unlock();
            try {
                const std::lock_guard<std::mutex> hold(files_.calls);
                files_.ResendKept();
            } catch (const std::exception& error) {
                Say(std::string("internal failure: ") + error.what());
            }
            waiting.lock();
        }
    }

    MountedFiles& files_;
    std::mutex stop_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;  // last: it starts on the members above
};

// ---- FUSE's side ----

MountedFiles& Files()
{
    return *static_cast<MountedFiles*>(fuse_get_context()->private_data);
}

// No exception crosses into FUSE; once the device has gone, every call fails
// with EIO at once.
template <typename Body>
int Call(Body&& Run)
{
    try {
        MountedFiles& files = Files();
        const std::lock_guard<std::mutex> hold(files.calls);
        return files.Gone() ? -EIO : Run(files);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    } catch (const std::exception& error) {
        Say(std::string("internal failure: ") + error.what());
        return -EIO;
    }
}

// What is given back also after the device has gone.
template <typename Body>
int Finish(Body&& Run)
{
    try {
        MountedFiles& files = Files();
        const std::lock_guard<std::mutex> hold(files.calls);
        Run(files);
    } catch (const std::exception& error) {
        Say(std::string("internal failure: ") + error.what());
    }
    return 0;
}

std::string PathOf(const char* Path)
{
    return Path ? Path : "";
}

uint64_t HandleOf(const fuse_file_info* Info)
{
    return Info ? Info->fh : 0;
}

int Opened(const MountedFiles& Files, int Failed, fuse_file_info& Info)
{
    if (!Failed)
        Info.direct_io = Files.PastCache(Info.fh);
    return Failed;
}

void* Start(fuse_conn_info* Connection, fuse_config* Config)
{
    // O_TRUNC comes with the open instead of as a truncate before it.
    if (Connection->capable & FUSE_CAP_ATOMIC_O_TRUNC)
        Connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // The kernel keeps nothing: what the mount shows changes also where no
    // call of the kernel's changed it (a file refused when closed); the
    // mount's own listings are what is kept for a short time.
    Config->entry_timeout = Config->attr_timeout = Config->negative_timeout = 0;
    // Open files are known by their handle, also once deleted, so a deleted
    // open file is neither renamed on the device nor lost to its reader.
    Config->nullpath_ok = 1;
    Config->hard_remove = 1;
    return fuse_get_context()->private_data;
}

fuse_operations Operations()
{
    fuse_operations ops {};
    ops.init = Start;
    ops.getattr = [](const char* p, struct stat* st, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.GetAttr(PathOf(p), HandleOf(fi), *st); });
    };
    ops.opendir = [](const char* p, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.OpenDir(PathOf(p), fi->fh); });
    };
    ops.readdir = [](const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
        return Call([&](MountedFiles& f) { return f.ReadDir(fi->fh, buffer, fill); });
    };
    ops.releasedir = [](const char*, fuse_file_info* fi) {
        return Finish([&](MountedFiles& f) { f.ReleaseDir(fi->fh); });
    };
    ops.open = [](const char* p, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return Opened(f, f.Open(PathOf(p), fi->flags, fi->fh), *fi); });
    };
    ops.create = [](const char* p, mode_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return Opened(f, f.Create(PathOf(p), fi->flags, fi->fh), *fi); });
    };
    ops.read = [](const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Read(fi->fh, buffer, size, offset); });
    };
    ops.write = [](const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Write(fi->fh, buffer, size, offset); });
    };
    ops.truncate = [](const char* p, off_t size, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Truncate(PathOf(p), HandleOf(fi), size); });
    };
    ops.utimens = [](const char* p, const timespec times[2], fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.SetTime(PathOf(p), HandleOf(fi), times[1]); });
    };
    ops.chmod = [](const char* p, mode_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Accept(PathOf(p), HandleOf(fi)); });
    };
    ops.chown = [](const char* p, uid_t, gid_t, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Accept(PathOf(p), HandleOf(fi)); });
    };
    ops.flush = [](const char*, fuse_file_info* fi) { return Call([&](MountedFiles& f) { return f.Flush(fi->fh); }); };
    ops.fsync = [](const char*, int, fuse_file_info* fi) {
        return Call([&](MountedFiles& f) { return f.Flush(fi->fh); });
    };
    ops.release = [](const char*, fuse_file_info* fi) { return Finish([&](MountedFiles& f) { f.Release(fi->fh); }); };
    ops.unlink = [](const char* p) { return Call([&](MountedFiles& f) { return f.Unlink(PathOf(p)); }); };
    ops.mkdir = [](const char* p, mode_t) { return Call([&](MountedFiles& f) { return f.MakeDir(PathOf(p)); }); };
    ops.rmdir = [](const char* p) { return Call([&](MountedFiles& f) { return f.RemoveDir(PathOf(p)); }); };
    ops.rename = [](const char* from, const char* to, unsigned int flags) {
        return Call([&](MountedFiles& f) { return f.Rename(PathOf(from), PathOf(to), flags); });
    };
    ops.statfs = [](const char*, struct statvfs* st) { return Call([&](MountedFiles& f) { return f.StatFs(*st); }); };
    return ops;
}

// ---- what a mount holds, given back on every way out ----

struct DeviceHandle {
    int32_t id;
    ~DeviceHandle() { zqkDevClose(id); }
};

// Where the mount keeps the contents of the files it fetched or is writing:
// on a memory file system where there is one, removed with the mount.
struct WorkDir {
    std::string path;
    WorkDir()
    {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        const char* tmp = std::getenv("TMPDIR");
        for (const char* base : {xdg, "/dev/shm", tmp, "/tmp"}) {
            std::string pattern = std::string(base ? base : "") + "/zqk-mount-XXXXXX";
            if (base && *base && mkdtemp(pattern.data())) {
                path = pattern;
                return;
            }
        }
        throw Failure(kLocalFile, std::string("cannot make a folder for transfers in /tmp: ") + std::strerror(errno));
    }
    ~WorkDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

struct FuseArguments {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    explicit FuseArguments(std::initializer_list<const char*> Arguments)
    {
        for (const char* argument : Arguments)
            if (fuse_opt_add_arg(&args, argument) != 0)
                throw std::bad_alloc();
    }
    ~FuseArguments() { fuse_opt_free_args(&args); }
};

struct FuseMount {
    fuse* instance;
    bool mounted = false;
    bool signalled = false;
    ~FuseMount()
    {
        if (signalled)
            fuse_remove_signal_handlers(fuse_get_session(instance));
        if (mounted)
            fuse_unmount(instance);
        fuse_destroy(instance);
    }
};

// Mounts, calls Ready, and serves until unmounted or interrupted.
int Serve(const Options& Opts, const std::string& Dir, const std::function<void(const std::string&)>& Ready)
{
    const DeviceHandle device {OpenChosenDevice(Opts)};
    TraceUnit(device.id, Opts.tracePath);  // until the handle is closed
    if (zqkDevDir(device.id, "/") < 0)
        throw DeviceFailure("cannot list the device's root folder");
    DeviceNames names;
    names.caseBlind = !TellsCaseApart(ChosenDevice(Opts));
    names.quoted = QuotesNames(device.id);
    const WorkDir work;
    MountedFiles files(device.id, names, work.path);
    files.SetCapacity(StatedFlashBytes(UnitString(device.id, 210)));
    const fuse_operations operations = Operations();
    FuseArguments arguments {"zqk", "-o", "fsname=zqk,subtype=zqk"};
    fuse* instance = fuse_new(&arguments.args, &operations, sizeof operations, &files);
    if (!instance)
        throw Failure(kFailed, "FUSE did not start");
    FuseMount mount {instance};
    if (fuse_mount(instance, Dir.c_str()) != 0)
        throw Failure(kFailed, "cannot mount on " + Dir + " (it needs /dev/fuse and fusermount3 from fuse3)");
    mount.mounted = true;
    if (fuse_set_signal_handlers(fuse_get_session(instance)) != 0)
        throw Failure(kFailed, "cannot take the signals that unmount");
    mount.signalled = true;
    const std::string path = UnitPath(device.id);
    Ready(path.empty() ? std::string("the device") : path);
    int served = 0;
    {
        const Resender resender(files);
        served = fuse_loop(instance);  // a signal that ended it counts as done
    }
    files.SendAll();
    return served >= 0 ? kOk : kFailed;
}

void Tell(int Pipe, const std::string& Text)
{
    if (write(Pipe, Text.data(), Text.size()) < 0)
        Say(std::string("cannot tell the starting program: ") + std::strerror(errno));
}

// The background mount lets go of the terminal and of the starting
// program's pipes, which would not end while it runs. Its messages go to
// syslog, and on to standard error where that is a file (a log the starting
// program chose).
void Detach()
{
    openlog("zqk-mount", LOG_PID, LOG_USER);
    messagesToSyslog = true;
    struct stat error {};
    const bool errorToFile = fstat(STDERR_FILENO, &error) == 0 && S_ISREG(error.st_mode);
    const int null = open("/dev/null", O_RDWR);
    if (chdir("/") != 0 || null < 0)
        return;
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (stream != STDERR_FILENO || !errorToFile)
            dup2(null, stream);
    close(null);
}

// -b: a child serves the mount; this process ends once it is mounted, with
// the child's failure when it could not mount.
int ServeInBackground(const Options& Opts, const std::string& Dir)
{
    int ready[2];
    if (pipe(ready) != 0)
        throw Failure(kFailed, std::string("cannot start the mount: ") + std::strerror(errno));
    const pid_t child = fork();
    if (child < 0)
        throw Failure(kFailed, std::string("cannot start the mount: ") + std::strerror(errno));
    if (child == 0) {
        close(ready[0]);
        setsid();
        int code = kFailed;
        try {
            code = Serve(Opts, Dir, [&](const std::string&) {
                Tell(ready[1], "0 ");
                close(ready[1]);
                Detach();
            });
        } catch (const Failure& failure) {
            Tell(ready[1], std::to_string(failure.code) + " " + failure.what());
            code = failure.code;
        } catch (const std::exception& error) {
            Tell(ready[1], std::to_string(kFailed) + " " + error.what());
        }
        _exit(code);
    }
    close(ready[1]);
    std::string told;
    char buffer[512];
    for (ssize_t n; (n = read(ready[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            told.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    close(ready[0]);
    if (told.rfind("0 ", 0) == 0)
        return kOk;
    waitpid(child, nullptr, 0);
    const size_t blank = told.find(' ');
    if (blank == std::string::npos)
        throw Failure(kFailed, "the mount ended before it was ready");
    throw Failure(static_cast<ExitCode>(std::atoi(told.c_str())), told.substr(blank + 1));
}

}  // namespace

namespace {

// A folder to mount on: not a mount point already (a second mount would hide
// the first), and empty unless -o nonempty says its files may be hidden.
void CheckMountPoint(const std::string& Dir, const std::string& Given, const Options& Opts)
{
    if (!Opts.mountOptions.empty() && Opts.mountOptions != "nonempty")
        throw Failure(kUsage, "mount -o takes nonempty only, not \"" + Opts.mountOptions + "\"");
    struct stat here {}, above {};
    if (stat(Dir.c_str(), &here) != 0 || stat((Dir + "/..").c_str(), &above) != 0)
        throw Failure(kLocalFile, "cannot look at " + Given + ": " + std::strerror(errno));
    if (here.st_dev != above.st_dev || here.st_ino == above.st_ino)
        throw Failure(kLocalFile, Given + " is a mount point already (fusermount3 -u " + Given + " unmounts it)");
    std::error_code error;
    if (Opts.mountOptions.empty() && std::filesystem::directory_iterator(Dir, error) != std::filesystem::directory_iterator())
        throw Failure(kLocalFile, Given + " is not empty (-o nonempty mounts on it all the same, hiding its files)");
    if (error)
        throw Failure(kLocalFile, "cannot look into " + Given + ": " + error.message());
}

}  // namespace

int Mount(const Options& Opts)
{
    if (Opts.args.size() != 1)
        throw Failure(kUsage, UsageLineOf(*FindSubcommand("mount")));
    std::error_code error;
    // Absolute: the background mount leaves this working folder.
    const std::string dir = std::filesystem::absolute(Opts.args[0], error).lexically_normal().string();
    if (error || !std::filesystem::is_directory(dir, error))
        throw Failure(kLocalFile, Opts.args[0] + " is not a folder to mount on");
    CheckMountPoint(dir, Opts.args[0], Opts);
    if (Opts.background)
        return ServeInBackground(Opts, dir);
    return Serve(Opts, dir, [&](const std::string& Device) {
        std::fprintf(stderr, "zqk: %s is mounted on %s; fusermount3 -u %s or Ctrl-C unmounts it\n", Device.c_str(),
                     dir.c_str(), dir.c_str());
    });
}

}  // namespace zqktool
