/* An application's first contact with the installed library: the header must
 * compile as plain C, and both calls must reach the shared object. */
#include <stdio.h>
#include <zrqapi.h>

int main(void)
{
    int32_t major = -1;
    int32_t minor = -1;
    int32_t result = Kap_GetApiVersion(&major, &minor);
    int32_t echoed = Kap_TestCall(-123456789);
    printf("Kap_GetApiVersion: result %d, version %d.%d\n", (int)result, (int)major, (int)minor);
    printf("Kap_TestCall(-123456789): %d\n", (int)echoed);
    return result == ZRQ_OK && echoed == -123456789 ? 0 : 1;
}
