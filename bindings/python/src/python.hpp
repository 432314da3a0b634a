// The one place the Python headers are included from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Critical sections (CPython 3.13+) lock one object against the other threads
// of a free-threaded interpreter, and are plain blocks on every other build.
// Before 3.13 the interpreter lock alone serialises: plain blocks too.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif
