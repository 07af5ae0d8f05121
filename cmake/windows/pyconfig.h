/* The configuration header of CPython's Windows build, as far as the
 * limited API reads it: the module is cross-built against the build
 * machine's CPython headers, whose own pyconfig.h describes Linux (a 64-bit
 * long, fork, pthreads) and must not be seen. Values as in CPython's
 * PC/pyconfig.h for 64-bit Windows. */
#ifndef QUELLGATE_WINDOWS_PYCONFIG_H
#define QUELLGATE_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* python3.dll holds the interpreter: its functions and data are imported
 * (__declspec(dllimport)), the module's PyInit_ functions exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits wide on 64-bit Windows. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define HAVE_USABLE_WCHAR_T
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_WCHAR_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1

#define PY_LONG_LONG long long
#define PLATFORM "win32"

#endif
