#pragma once
// The one place that pulls in the interpreter's headers. The build defines
// Py_LIMITED_API so that only the stable ABI is reachable from here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
