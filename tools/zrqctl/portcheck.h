// What a COM number means on this machine and why it may not open: the
// path the library opens, where a link points, whether the device is there,
// is a terminal, may be opened by this user, and who holds its lock.
#ifndef ZRQ_TOOLS_ZRQCTL_PORTCHECK_H
#define ZRQ_TOOLS_ZRQCTL_PORTCHECK_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "netport.h"

const int kFirstComPort = 1;
const int kLastComPort = 8;

struct PortReport {
    int number = 0;
    std::string comLink;          // $ZRQAPI_ROOT/dev/comN
    bool comLinkPresent = false;  // the name exists (as a link or otherwise)
    std::string linkTarget;       // where comLink points, "" when it is no link
    bool dangling = false;        // a link to nothing
    std::string device;           // what the library opens
    int statError = 0;            // errno of stat(device), 0 when it exists
    bool isCharDevice = false;
    bool isTty = false;
    bool mayOpen = false;  // read and write for this user
    std::string group;     // the device's group, to join when !mayOpen
    int openError = 0;     // errno of a trial open, 0 when it opened
    pid_t lockHolder = 0;  // process holding the device's lock, 0 none
    std::string lockHolderName;
    pid_t opener = 0;  // another process with the device open but no lock, 0 none
    std::string openerName;
    bool groupMayOpen = false;  // the device's group has read and write
    bool rootTooLong = false;   // the library refuses the path: nothing is opened
    NetPort net;                // mapped to a network serial server: nothing local is looked at
};

// Looks without holding anything open afterwards.
PortReport CheckPort(int number);
// "COM3 (/etc/zrqapi/dev/com3 -> /dev/ttyUSB0)"
std::string PortLabel(const PortReport& report);
// What is wrong and what to do, "" when the port should open.
std::string PortProblem(const PortReport& report);

// Serial devices present: /dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*.
struct SerialDevice {
    std::string path;
    std::string target;  // by-id links: the tty they name
    std::string usb;     // "vendor 0403 product 6001 serial A12345", where sysfs tells
};
std::vector<SerialDevice> SerialDevicesPresent();

#endif
