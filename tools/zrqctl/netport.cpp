#include "netport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "config.h"

namespace {

std::string Trimmed(std::string line)
{
    size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos)
        line.erase(end);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    return line;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::string(prefix).size(), prefix) == 0;
}

}  // namespace

NetPort FindNetPort(int number)
{
    NetPort port;
    std::string variable = "ZRQAPI_COM" + std::to_string(number);
    const char* value = getenv(variable.c_str());
    if (value != nullptr && value[0] != '\0') {
        port.mapped = true;
        port.url = Trimmed(value);
        port.source = variable;
    } else {
        std::string path = ConfigRoot() + "/dev/com" + std::to_string(number);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return port;
        std::ifstream file(path);
        std::string line;
        std::getline(file, line);
        port.mapped = true;
        port.url = Trimmed(line);
        port.source = path;
    }
    port.rfc2217 = StartsWith(port.url, "rfc2217://");
    return port;
}

std::string NetPortProblem(const NetPort& port)
{
    if (port.rfc2217 || StartsWith(port.url, "tcp://"))
        return "";
    return "\"" + port.url + "\" from " + port.source
        + " is no rfc2217://HOST:PORT or tcp://HOST:PORT URL; the library opens nothing";
}

const char* NetPortKind(const NetPort& port)
{
    return port.rfc2217 ? "RFC 2217" : "raw TCP";
}
