// The key-line reader on arbitrary file bytes: every key the library looks
// up, the MPM reader, and the conversions of what they find.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "machine/keyline.h"
#include "machine/machine.h"

namespace {

const char* const kKeys[] = {" COMPORT ", " MPM.VER ", " X.STEPDIST ", " Y.STEPDIST ",
    " Z.STEPDIST ", " R.STEPDIST ", " X.FLAGS ", " Y.FLAGS ", " Z.FLAGS ", " R.FLAGS ", " ", ""};

std::string g_path;

void RemoveFile()
{
    unlink(g_path.c_str());
}

const std::string& FilePath()
{
    std::string& path = g_path;
    if (path.empty()) {
        char pattern[] = "/tmp/zrq-keyline-fuzz-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0)
            abort();
        close(fd);
        path = pattern;
        atexit(RemoveFile);
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = FilePath();
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);

    for (const char* key : kKeys) {
        // Exactly the documented size on the heap, so one byte past it is caught.
        std::vector<char> piece(kKeyLineBufferSize);
        if (FindKeyLine(path.c_str(), key, piece.data(), piece.size()) == 0) {
            if (memchr(piece.data(), '\0', piece.size()) == nullptr)
                abort();  // a found piece is always terminated
            (void)ParseBase36(piece.data());
            (void)DecimalPrefix(piece.data());
        }
        int32_t value = 0;
        if (ReadKeyValue(path.c_str(), key, &value) == 0) {
            (void)VunitFromFlags(value);
            (void)StepOutOfRange(value);
        }
        (void)ReadFlagsVunit(path.c_str(), key);
    }
    // The whole input as an identifier suffix and as a number.
    std::string text(reinterpret_cast<const char*>(data), size);
    (void)ParseBase36(text.c_str());
    (void)DecimalPrefix(text.c_str());
    if (size >= 4) {
        int32_t word;
        memcpy(&word, data, 4);
        (void)VunitFromFlags(word);
        (void)StepOutOfRange(word);
        (void)ReadMpm(path.c_str(), word);
    }
    g_machine = MachineState();
    return 0;
}
