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
    if (!r.mayOpen) {
        struct group* g = getgrgid(st.st_gid);
        r.group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    }
    r.lockHolder = LockHolder(st);
    if (r.lockHolder != 0)
        r.lockHolderName = FirstLine("/proc/" + std::to_string(r.lockHolder) + "/comm");
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
    if (!r.mayOpen)
        return std::string(strerror(EACCES)) + " — join group " + r.group + " (sudo usermod -aG "
            + r.group + " $USER, then log in again)";
    if (r.lockHolder != 0 && r.lockHolder != getpid())
        return "in use by process " + std::to_string(r.lockHolder)
            + (r.lockHolderName.empty() ? "" : " (" + r.lockHolderName + ")");
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
