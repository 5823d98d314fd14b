// Key-line files: a decimal value at the start of a line, a key (" WORD ")
// somewhere behind it. Used for the configuration file and the MPM files.
#ifndef ZRQ_MACHINE_KEYLINE_H
#define ZRQ_MACHINE_KEYLINE_H

#include <stddef.h>
#include <stdint.h>

// Every lookup reads through a buffer of this size: 79 characters and a NUL.
const size_t kKeyLineBufferSize = 80;

// 0 when a piece containing key was found (buffer holds it), 1 when the file
// cannot be opened, cannot be read, or ends first.
int32_t FindKeyLine(const char* fileName, const char* key, char* buffer, size_t size);
// 0 with the key's value stored in *value; 1 with *value left untouched.
int32_t ReadKeyValue(const char* fileName, const char* key, int32_t* value);
uint32_t ReadFlagsVunit(const char* fileName, const char* key);
uint32_t VunitFromFlags(int32_t flags);
// -1 for no text at all; nothing is rejected, every byte is some digit.
int32_t ParseBase36(const char* text);
int32_t StepOutOfRange(int32_t step);
// Leading decimal number as atoi reads it, wrapping modulo 2^32.
int32_t DecimalPrefix(const char* text);

#endif
