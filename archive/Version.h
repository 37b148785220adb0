/* The library's version, usable from C and C++. KORVAT_ABI_VERSION is the
   number in the shared library's soname (libkorvat.so.N): it goes up with
   every change that breaks programs built against an older one (a removed or
   changed exported function, a changed layout of a public type, the class
   included), and the exported symbols are listed in cmake/abi.txt, which the
   test suite compares with the built library. The build reads the numbers
   from here. */
#ifndef KORVAT_VERSION_H
#define KORVAT_VERSION_H

#define KORVAT_VERSION_MAJOR 0
#define KORVAT_VERSION_MINOR 2
#define KORVAT_VERSION_PATCH 0
#define KORVAT_VERSION_STRING "0.2.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH, for comparisons in #if. */
#define KORVAT_VERSION (KORVAT_VERSION_MAJOR * 10000 + KORVAT_VERSION_MINOR * 100 + KORVAT_VERSION_PATCH)
#define KORVAT_ABI_VERSION 1

#endif
