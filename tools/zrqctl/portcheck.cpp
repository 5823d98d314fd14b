#include "portcheck.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "config.h"

namespace {

std::string ReadLink(const std::string& path)
{
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return "";
    target[n] = '\0';
    return target;
}

std::string FirstLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The process holding a lock on the file with this device and inode, from
// /proc/locks ("1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF").
pid_t LockHolder(const struct stat& st)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    char wanted[64];
    snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
        static_cast<unsigned long>(st.st_ino));
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string number, kind, advisory, mode, pid, file;
        if (!(words >> number >> kind))
            continue;
        if (kind == "->")  // a waiter, listed under the holder
            continue;
        if (words >> advisory >> mode >> pid >> file && file == wanted)
            return static_cast<pid_t>(atol(pid.c_str()));
    }
    return 0;
}

// Whether a /dev/ptmx descriptor of pid is the other end of this
// pseudo-terminal (its fdinfo names the index).
bool ServesPty(pid_t pid, const char* fd, const struct stat& device)
{
    unsigned int majorNumber = major(device.st_rdev);
    if (majorNumber < 136 || majorNumber > 143)
        return false;
    unsigned int index = (majorNumber - 136) * 256 + minor(device.st_rdev);
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
    for (std::string line; std::getline(info, line);)
        if (line.compare(0, 10, "tty-index:") == 0)
            return static_cast<unsigned int>(atol(line.c_str() + 10)) == index;
    return false;
}

// Another process that has the device open (a monitor program that takes no
// lock), found through /proc/*/fd; 0 when none can be seen.
pid_t OtherOpener(const struct stat& device, std::string* name)
{
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    pid_t found = 0;
    while (struct dirent* entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atol(entry->d_name));
        if (pid <= 0 || pid == getpid())
            continue;
        std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr)
            continue;  // another user's process: not visible
        bool opens = false;
        bool serves = false;
        while (struct dirent* fd = readdir(fds)) {
            struct stat st;
            if (fd->d_name[0] == '.' || stat((fdDir + "/" + fd->d_name).c_str(), &st) != 0
                || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == device.st_rdev)
                opens = true;
            else if (st.st_rdev == makedev(5, 2) && ServesPty(pid, fd->d_name, device))
                serves = true;
        }
        closedir(fds);
        // The program at a pseudo-terminal's other end often keeps this end
        // open too; it is the box's side, not a second reader.
        if (opens && !serves)
            found = pid;
        if (found != 0)
            break;
    }
    closedir(proc);
    if (found != 0)
        *name = FirstLine("/proc/" + std::to_string(found) + "/comm");
    return found;
}

// Walks up from the tty's sysfs device to the USB device that carries it.
std::string UsbDescription(const std::string& ttyName)
{
    char resolved[PATH_MAX];
    std::string device = "/sys/class/tty/" + ttyName + "/device";
    if (realpath(device.c_str(), resolved) == nullptr)
        return "";
    std::string dir = resolved;
    for (int up = 0; up < 6 && dir.size() > 1; ++up) {
        std::string vendor = FirstLine(dir + "/idVendor");
        if (!vendor.empty()) {
            std::string text = "USB " + vendor + ":" + FirstLine(dir + "/idProduct");
            std::string serial = FirstLine(dir + "/serial");
            std::string product = FirstLine(dir + "/product");
            if (!product.empty())
                text += " " + product;
            if (!serial.empty())
                text += ", serial " + serial;
            return text;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PortReport CheckPort(int number)
{
    PortReport r;
    r.number = number;
    r.comLink = ConfigRoot() + "/dev/com" + std::to_string(number);
    r.net = FindNetPort(number);
    if (r.net.mapped)
        return r;
    // The library refuses a path it cannot hold whole, and opens no other.
    if (r.comLink.size() >= PATH_MAX) {
        r.rootTooLong = true;
        return r;
    }
    struct stat st;
    r.comLinkPresent = lstat(r.comLink.c_str(), &st) == 0;
    if (r.comLinkPresent && S_ISLNK(st.st_mode))
        r.linkTarget = ReadLink(r.comLink);
    // The library opens COMn's name when it exists, else the n-th on-board port.
    r.dangling = r.comLinkPresent && stat(r.comLink.c_str(), &st) != 0;
    r.device = r.comLinkPresent ? r.comLink : "/dev/ttyS" + std::to_string(number - 1);
    if (stat(r.device.c_str(), &st) != 0) {
        r.statError = errno;
        return r;
    }
    r.isCharDevice = S_ISCHR(st.st_mode);
    r.mayOpen = access(r.device.c_str(), R_OK | W_OK) == 0;
    r.groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!r.mayOpen) {
        struct group* g = getgrgid(st.st_gid);
        r.group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    }
    r.lockHolder = LockHolder(st);
    if (r.lockHolder != 0)
        r.lockHolderName = FirstLine("/proc/" + std::to_string(r.lockHolder) + "/comm");
    else
        r.opener = OtherOpener(st, &r.openerName);
    // A trial open tells a tty from anything else, and an absent device behind
    // a present node (an unplugged adapter's stale name) by the system's reason.
    int fd = open(r.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        r.openError = errno;
        return r;
    }
    r.isTty = isatty(fd) != 0;
    close(fd);
    return r;
}

std::string PortLabel(const PortReport& r)
{
    if (r.net.mapped)
        return "COM" + std::to_string(r.number) + " (" + r.net.url + " from " + r.net.source + ")";
    if (r.rootTooLong)
        return "COM" + std::to_string(r.number) + " (under a too long ZRQAPI_ROOT)";
    std::string label = "COM" + std::to_string(r.number) + " (";
    if (r.comLinkPresent) {
        label += r.comLink;
        if (!r.linkTarget.empty())
            label += " -> " + r.linkTarget;
    } else {
        label += r.device;
    }
    return label + ")";
}

std::string PortProblem(const PortReport& r)
{
    if (r.net.mapped)
        return NetPortProblem(r.net);
    if (r.rootTooLong)
        return "ZRQAPI_ROOT is too long: the port's path " + r.comLink.substr(0, 40)
            + "... would be " + std::to_string(r.comLink.size()) + " characters, more than the "
            + std::to_string(PATH_MAX - 1) + " the system takes; the library opens nothing";
    if (r.dangling)
        return std::string("the link points to nothing (") + strerror(ENOENT)
            + ") — is the adapter plugged in?";
    if (r.statError == ENOENT)
        return std::string(strerror(ENOENT)) + " — is the adapter plugged in, or link " + r.comLink
            + " to the port";
    if (r.statError != 0)
        return strerror(r.statError);
    if (!r.isCharDevice)
        return "not a serial device (not a character device) — the link should name a tty";
    if (!r.mayOpen && r.groupMayOpen)
        return std::string(strerror(EACCES)) + " — join group " + r.group + " (sudo usermod -aG "
            + r.group + " $USER, then log in again)";
    if (!r.mayOpen)
        return std::string(strerror(EACCES))
            + " — only its owner may open it (no group has access): run as that user, or have "
              "the device's mode changed (a udev rule)";
    if (r.lockHolder != 0 && r.lockHolder != getpid())
        return "in use by process " + std::to_string(r.lockHolder)
            + (r.lockHolderName.empty() ? "" : " (" + r.lockHolderName + ")");
    if (r.opener != 0)
        return "open in process " + std::to_string(r.opener)
            + (r.openerName.empty() ? "" : " (" + r.openerName + ")")
            + ", which takes no lock: it would read the box's answers; end it first";
    if (r.openError == EBUSY && r.lockHolder == 0)
        return std::string(strerror(EBUSY))
            + " — no process holds it: a program that was killed left the line exclusive. "
              "Restart what serves it (for a USB adapter unplug it and plug it in again; for a "
              "pseudo-terminal restart the program at its other end); root can still open it";
    if (r.openError == ENXIO || r.openError == ENODEV)
        return std::string(strerror(r.openError)) + " — is the adapter plugged in?";
    if (r.openError != 0)
        return strerror(r.openError);
    if (!r.isTty)
        return "not a terminal device (" + std::string(strerror(ENOTTY)) + ")";
    return "";
}

std::vector<SerialDevice> SerialDevicesPresent()
{
    std::vector<SerialDevice> devices;
    for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/serial/by-id/*"}) {
        glob_t found;
        if (glob(pattern, 0, nullptr, &found) != 0)
            continue;
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            SerialDevice device;
            device.path = found.gl_pathv[i];
            device.target = ReadLink(device.path);
            std::string tty = BaseName(device.target.empty() ? device.path : device.target);
            device.usb = UsbDescription(tty);
            devices.push_back(device);
        }
        globfree(&found);
    }
    return devices;
}
