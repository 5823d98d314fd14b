// COMn mapped to a network serial server, as the library maps it: the
// variable ZRQAPI_COMn, else a regular file $ZRQAPI_ROOT/dev/comN whose first
// line is the URL.
#ifndef ZRQ_TOOLS_ZRQCTL_NETPORT_H
#define ZRQ_TOOLS_ZRQCTL_NETPORT_H

#include <string>

struct NetPort {
    bool mapped = false;
    std::string url;
    std::string source;  // the variable's name or the file's path
    bool rfc2217 = false;
};

NetPort FindNetPort(int number);
// What is wrong with the URL's form, "" when the library will try it.
std::string NetPortProblem(const NetPort& port);
// "RFC 2217" or "raw TCP".
const char* NetPortKind(const NetPort& port);

#endif
