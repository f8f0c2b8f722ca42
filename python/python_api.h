// The one way binding sources reach the CPython C API: the limited API of 3.8
// (so one build serves every later CPython), with every interpreter symbol the
// library uses declared weak. The same file is also loaded as a Node.js addon,
// where no interpreter exists: a weak reference that finds nothing resolves to
// null instead of failing the load, and no code path of this module runs there.
//
// Every binding source includes this header instead of Python.h. When a new
// interpreter symbol comes into use, add it below; the symbol test of the
// Python suite fails on any strong reference that was missed.
#pragma once

#define PY_SSIZE_T_CLEAN
#define Py_LIMITED_API 0x03080000
#include <Python.h>

// Functions.
#pragma weak PyBytes_AsString
#pragma weak PyBytes_Size
#pragma weak PyDict_Copy
#pragma weak PyDict_New
#pragma weak PyDict_Next
#pragma weak PyDict_SetItem
#pragma weak PyDict_SetItemString
#pragma weak PyErr_Clear
#pragma weak PyErr_Fetch
#pragma weak PyErr_GivenExceptionMatches
#pragma weak PyErr_NewExceptionWithDoc
#pragma weak PyErr_NoMemory
#pragma weak PyErr_NormalizeException
#pragma weak PyErr_Occurred
#pragma weak PyErr_Print
#pragma weak PyErr_Restore
#pragma weak PyErr_SetObject
#pragma weak PyErr_WriteUnraisable
#pragma weak PyEval_RestoreThread
#pragma weak PyEval_SaveThread
#pragma weak Py_GetVersion
#pragma weak PyException_GetCause
#pragma weak PyException_SetCause
#pragma weak PyFloat_AsDouble
#pragma weak PyImport_ImportModule
#pragma weak Py_DecRef
#pragma weak Py_IncRef
#pragma weak PyList_Append
#pragma weak PyList_New
#pragma weak PyLong_AsDouble
#pragma weak PyLong_AsUnsignedLongLong
#pragma weak PyLong_FromUnsignedLongLong
#pragma weak PyModule_AddObject
#pragma weak PyModule_Create2
#pragma weak PyObject_CallFunctionObjArgs
#pragma weak PyObject_GetAttr
#pragma weak PyObject_Repr
#pragma weak PyObject_RichCompareBool
#pragma weak PyObject_SetAttr
#pragma weak PySequence_Check
#pragma weak PySequence_GetItem
#pragma weak PySequence_Size
#pragma weak PyObject_Str
#pragma weak PyTuple_GetItem
#pragma weak PyTuple_New
#pragma weak PyTuple_Pack
#pragma weak PyTuple_SetItem
#pragma weak PyTuple_Size
#pragma weak PyType_FromSpec
#pragma weak PyType_GenericAlloc
#pragma weak PyType_GetFlags
#pragma weak PyType_GetSlot
#pragma weak PyType_IsSubtype
#pragma weak PyCFunction_NewEx
#pragma weak PyBool_FromLong
#pragma weak PyUnicode_AsEncodedString
#pragma weak PyUnicode_AsUTF8String
#pragma weak PyUnicode_CompareWithASCIIString
#pragma weak PyUnicode_Concat
#pragma weak PyUnicode_DecodeFSDefaultAndSize
#pragma weak PyUnicode_DecodeUTF8
#pragma weak PyUnicode_EncodeFSDefault
#pragma weak PyUnicode_FromStringAndSize
#pragma weak PyUnicode_InternFromString
#pragma weak _Py_Dealloc

// Data.
#pragma weak PyBaseObject_Type
#pragma weak PyFloat_Type
#pragma weak PyExc_AttributeError
#pragma weak PyExc_OSError
#pragma weak PyExc_OverflowError
#pragma weak PyExc_ValueError
#pragma weak PyExc_BaseException
#pragma weak PyExc_ImportError
#pragma weak PyExc_RuntimeError
#pragma weak PyExc_SystemError
#pragma weak PyExc_TypeError
#pragma weak _Py_FalseStruct
#pragma weak _Py_NoneStruct
#pragma weak _Py_TrueStruct
