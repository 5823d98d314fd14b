// The configuration files as the library reads them, for the commands that
// must find the box's port without init (estop, ports, doctor).
#ifndef ZRQ_TOOLS_ZRQCTL_CONFIG_H
#define ZRQ_TOOLS_ZRQCTL_CONFIG_H

#include <stdint.h>

#include <string>

// $ZRQAPI_ROOT, or the default the library uses.
std::string ConfigRoot();

struct ConfigFile {
    std::string path;  // mapped onto the root
    bool readable = false;
    bool hasPort = false;  // a " COMPORT " line was found
    int32_t port = 0;
    std::string line;  // that line, as found
};

// The two files in the order the library tries them.
const int kConfigFileCount = 2;
ConfigFile ReadConfigFile(int index);

// A key's value from a key-line file (the configuration or an MPM file) as
// the library reads it; false when the file or the key is missing.
bool ReadKeyValue(const std::string& path, const char* key, int32_t* value);

// The port init would use: true with *port and *from (the file) set.
bool ConfiguredPort(int32_t* port, std::string* from);

#endif
