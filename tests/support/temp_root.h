// A throw-away directory that stands for drive c: (ZRQAPI_ROOT), with the
// configuration and MPM folders the library looks in.
#ifndef ZRQ_TESTS_SUPPORT_TEMP_ROOT_H
#define ZRQ_TESTS_SUPPORT_TEMP_ROOT_H

#include <string>

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return root_; }
    // The real path of a file under the root, usable on every platform.
    std::string File(const std::string& relative) const;
    // Writes bytes to a path relative to the root ("qorin/qorin.cfg").
    void Write(const std::string& relative, const std::string& bytes) const;
    void Remove(const std::string& relative) const;

private:
    std::string root_;
};

#endif
