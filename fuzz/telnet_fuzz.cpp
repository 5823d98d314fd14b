// What a hostile network serial server can send: the first byte picks the
// size of the reads the input is cut into, the rest is the server's stream.
// Checks that the decoder stays within its buffers, that answers stay within
// their room, and that the data it lets through survives our own encoding.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/telnet.h"

static TelnetSession s_session;
static TelnetSession s_echo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size == 0)
        return 0;
    size_t piece = input[0] % 64 + 1;
    ++input;
    --size;
    TelnetStart(&s_session);
    static uint8_t data[64];
    static uint8_t encoded[128];
    static uint8_t back[128];
    for (size_t at = 0; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        size_t got = TelnetDecode(&s_session, input + at, n, data);
        if (got > n || s_session.replyLength > kTelnetReplyMax
            || s_session.subLength > kTelnetSubMax)
            abort();
        // The backend sends the answers after every read.
        s_session.replyLength = 0;
        // Data through our encoder and a fresh decoder comes back unchanged.
        size_t consumed = 0;
        size_t length = TelnetEncode(data, got, encoded, sizeof encoded, &consumed);
        s_echo = TelnetSession();
        if (consumed != got || TelnetDecode(&s_echo, encoded, length, back) != got
            || memcmp(back, data, got) != 0 || s_echo.replyLength != 0)
            abort();
    }
    // A port setting carrying any value bytes, IAC included, fits its frame.
    TelnetComPortCommand(&s_session, kComPortSetBaud, input, size < 4 ? size : 4);
    if (s_session.replyLength > kTelnetReplyMax)
        abort();
    return 0;
}
