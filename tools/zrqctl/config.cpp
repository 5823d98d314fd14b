#include "config.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As the library opens its files: without waiting, and regular files only. A
// FIFO would hold the read until some writer came, a device could be read
// for ever; both read as files that cannot be opened.
FILE* OpenRegularFile(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

const char* const kConfigFiles[kConfigFileCount] = {"/qorin/qorin.cfg", "/qv/main.cfg"};
const char kPortKey[] = " COMPORT ";
const size_t kPieceSize = 80;  // the library reads 79 characters at a time
const int kEndOfFileMark = 0x1A;

// The library's reading: pieces of at most 79 characters up to a line feed,
// CR LF as LF, 0x1A ends the file, and a piece cut short by the end of the
// file is never examined.
bool FindKey(FILE* file, const char* key, std::string* found)
{
    bool atEnd = false;
    while (!atEnd) {
        std::string piece;
        while (piece.size() + 1 < kPieceSize) {
            int c = getc(file);
            if (c == EOF || c == kEndOfFileMark) {
                atEnd = true;
                break;
            }
            if (c == '\r') {
                int next = getc(file);
                if (next == '\n')
                    c = '\n';
                else if (next != EOF)
                    ungetc(next, file);
            }
            piece += static_cast<char>(c);
            if (c == '\n')
                break;
        }
        if (atEnd)
            return false;
        if (piece.find(key) != std::string::npos) {
            *found = piece;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string ConfigRoot()
{
    const char* root = getenv("ZRQAPI_ROOT");
    return root != nullptr && root[0] != '\0' ? root : "/etc/zrqapi";
}

ConfigFile ReadConfigFile(int index)
{
    ConfigFile config;
    config.path = ConfigRoot() + kConfigFiles[index];
    FILE* file = OpenRegularFile(config.path);
    if (file == nullptr)
        return config;
    config.readable = true;
    if (FindKey(file, kPortKey, &config.line)) {
        config.hasPort = true;
        // atoi's reading, as the library's: leading blanks, a sign, digits.
        config.port = static_cast<int32_t>(strtol(config.line.c_str(), nullptr, 10));
        while (!config.line.empty() && config.line.back() == '\n')
            config.line.pop_back();
    }
    fclose(file);
    return config;
}

bool ReadKeyValue(const std::string& path, const char* key, int32_t* value)
{
    FILE* file = OpenRegularFile(path);
    if (file == nullptr)
        return false;
    std::string line;
    bool found = FindKey(file, key, &line);
    fclose(file);
    if (found)
        *value = static_cast<int32_t>(strtol(line.c_str(), nullptr, 10));
    return found;
}

bool ConfiguredPort(int32_t* port, std::string* from)
{
    for (int i = 0; i < kConfigFileCount; ++i) {
        ConfigFile config = ReadConfigFile(i);
        if (config.hasPort) {
            *port = config.port;
            *from = config.path;
            return true;
        }
    }
    return false;
}
