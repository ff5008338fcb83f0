/* What the interpreter's headers need to know of 64-bit Windows, for checking
 * that the extension compiles for it on a machine that is not Windows. It
 * states the target's sizes and the macros that select the interpreter's
 * Windows declarations; it is never used to build the extension. */
#ifndef ZUL_MEW_CROSS_WINDOWS_PYCONFIG_H
#define ZUL_MEW_CROSS_WINDOWS_PYCONFIG_H

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS

/* The interpreter is a DLL: its functions are imported, the entry point exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits beside 64-bit pointers; wchar_t is UTF-16. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#endif
