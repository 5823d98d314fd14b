#include "support/temp_root.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

void SetRootVariable(const char* value)
{
#ifdef _WIN32
    _putenv_s("ZRQAPI_ROOT", value);
#else
    if (value[0] == '\0')
        unsetenv("ZRQAPI_ROOT");
    else
        setenv("ZRQAPI_ROOT", value, 1);
#endif
}

}  // namespace

TempRoot::TempRoot()
{
    std::random_device random;
    fs::path base = fs::temp_directory_path();
    fs::path dir;
    do
        dir = base / ("zrqroot-" + std::to_string(random()));
    while (!fs::create_directory(dir));
    root_ = dir.string();
    for (const char* sub : {"qorin/mpm", "qv/mpm", "dev"})
        fs::create_directories(dir / sub);
    SetRootVariable(root_.c_str());
}

TempRoot::~TempRoot()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    SetRootVariable("");
}

std::string TempRoot::File(const std::string& relative) const
{
    return (fs::path(root_) / relative).string();
}

void TempRoot::Write(const std::string& relative, const std::string& bytes) const
{
    std::ofstream out(fs::path(root_) / relative, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TempRoot::Remove(const std::string& relative) const
{
    std::error_code ignored;
    fs::remove(fs::path(root_) / relative, ignored);
}
