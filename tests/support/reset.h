// Puts the whole library back into its state at load, on the fake backend.
#ifndef ZRQ_TESTS_SUPPORT_RESET_H
#define ZRQ_TESTS_SUPPORT_RESET_H

void ResetLibraryState();

#endif
