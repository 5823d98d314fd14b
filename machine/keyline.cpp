#include "machine/keyline.h"

#include <stdio.h>
#include <string.h>

#include "machine/machine.h"
#include "platform/platform.h"

namespace {

const int kEndOfFileMark = 0x1A;

// Text-mode reading done here rather than by the C library, so every platform
// sees the same characters: CR LF reads as LF, a lone CR stays, and 0x1A ends
// the file.
struct TextReader {
    FILE* file = nullptr;
    bool atEnd = false;  // the end-of-file indicator of a text stream
    bool failed = false;
};

int ReadRawByte(TextReader* reader)
{
    int c = getc(reader->file);
    if (c == EOF && ferror(reader->file))
        reader->failed = true;
    return c;
}

int ReadTextChar(TextReader* reader)
{
    if (reader->atEnd || reader->failed)
        return EOF;
    int c = ReadRawByte(reader);
    if (c == EOF || c == kEndOfFileMark) {
        reader->atEnd = true;
        return EOF;
    }
    if (c == '\r') {
        int next = ReadRawByte(reader);
        if (next == '\n')
            return '\n';
        if (next != EOF)
            ungetc(next, reader->file);
    }
    return c;
}

// fgets over the text reader: up to and including the next line feed, at most
// size - 1 characters, NUL-terminated.
void ReadPiece(TextReader* reader, char* buffer, size_t size)
{
    size_t n = 0;
    while (n + 1 < size) {
        int c = ReadTextChar(reader);
        if (c == EOF)
            break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
}

bool IsAtoiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t DecimalPrefix(const char* text)
{
    while (IsAtoiSpace(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    if (negative)
        value = 0u - value;
    return WrapToInt32(value);
}

int32_t FindKeyLine(const char* fileName, const char* key, char* buffer, size_t size)
{
    char mapped[kPlatMaxPath];
    if (size == 0 || !PlatMapPath(fileName, mapped, sizeof mapped))
        return 1;
    TextReader reader;
    // Binary at the C library level: the text-mode translation is ours. Only a
    // regular file is read: a FIFO or a device could hold initialisation for ever.
    reader.file = PlatOpenRegularFile(mapped);
    if (reader.file == nullptr)
        return 1;
    buffer[0] = '\0';
    int32_t result = 1;
    for (;;) {
        ReadPiece(&reader, buffer, size);
        // The end test comes before the key test: a piece cut short by the end
        // of the file is never examined.
        if (reader.atEnd || reader.failed)
            break;
        if (strstr(buffer, key) != nullptr) {
            result = 0;
            break;
        }
    }
    fclose(reader.file);
    return result;
}

int32_t ReadKeyValue(const char* fileName, const char* key, int32_t* value)
{
    char buffer[kKeyLineBufferSize];
    if (FindKeyLine(fileName, key, buffer, sizeof buffer) != 0)
        return 1;
    *value = DecimalPrefix(buffer);
    return 0;
}

uint32_t VunitFromFlags(int32_t flags)
{
    return 16u << ((static_cast<uint32_t>(flags) >> 16) & 15u);
}

uint32_t ReadFlagsVunit(const char* fileName, const char* key)
{
    // A missing key is reported as unit 0, which fails the MPM file; the
    // flags word would otherwise be undefined.
    int32_t flags = 0;
    if (ReadKeyValue(fileName, key, &flags) != 0)
        return 0;
    return VunitFromFlags(flags);
}

int32_t ParseBase36(const char* text)
{
    if (text == nullptr)
        return -1;
    uint32_t value = 0;
    for (; *text != '\0'; ++text) {
        int c = static_cast<unsigned char>(*text);
        if (c > 127)
            c -= 256;  // the character is taken as signed 8-bit
        int digit = (c - 48 <= 9) ? c - 48 : c - 55;
        value = value * 36u + static_cast<uint32_t>(digit);
    }
    return WrapToInt32(value);
}

int32_t StepOutOfRange(int32_t step)
{
    return (step < 1000 || step > 10000000) ? 1 : 0;
}
