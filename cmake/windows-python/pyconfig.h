/* The configuration CPython 3.11's headers expect on 64-bit Windows, for
   building the extension module with mingw-w64 against the platform-independent
   headers of another system's CPython. Only what those headers consult is
   here: the module is compiled, not CPython. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this configuration is for 64-bit Windows on x86-64 only"
#endif

#include <limits.h>

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The module links against python311.dll: API functions and data are
   imported, and PyInit_lumigrab is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_USABLE_WCHAR_T 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#endif /* Py_PYCONFIG_H */
