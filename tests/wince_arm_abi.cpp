// Compiled with the driver's sources for 32-bit ARM Windows: the facts of the ARM ABI the
// driver is built for on Windows CE, stated where a compiler for that ABI can check them.
#include <platform.h>

#if !defined(__arm__) || !defined(_WIN32)
#error "this check is compiled for 32-bit ARM Windows only"
#endif

#define TIMEWARD_ABI_FACT(name, fact) typedef char timeward_abi_##name[(fact) ? 1 : -1]

TIMEWARD_ABI_FACT(wchar_t_is_16_bits, sizeof(wchar_t) == 2);
TIMEWARD_ABI_FACT(pointers_are_32_bits, sizeof(void*) == 4 && sizeof(HANDLE) == 4);
TIMEWARD_ABI_FACT(char_is_signed, (char)-1 < 0);
TIMEWARD_ABI_FACT(little_endian, __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
TIMEWARD_ABI_FACT(dword_is_32_bits, sizeof(DWORD) == 4 && sizeof(LONG) == 4);
TIMEWARD_ABI_FACT(dword_is_word_aligned, __alignof__(DWORD) == 4);
TIMEWARD_ABI_FACT(systemtime_is_eight_words, sizeof(SYSTEMTIME) == 16);
TIMEWARD_ABI_FACT(power_capabilities_is_48_bytes, sizeof(POWER_CAPABILITIES) == 48);
