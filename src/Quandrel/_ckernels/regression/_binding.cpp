// Argument matching, array acceptance, scalar conversion, allocation, result
// wrapping and module set-up for the modules made from a function list (see
// _binding.h).

#include "_binding.h"

#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <new>

#include <frameobject.h>

namespace qdl::py {
namespace {

// Interned strings and constants; written once by the first exec step (under the lock
// of the one interpreter the module lives in) and only read afterwards.
struct Names {
  bool ready = false;
  PyObject *np = nullptr, *empty = nullptr, *asarray = nullptr, *float64 = nullptr,
           *int64 = nullptr, *add_note = nullptr;
  PyObject *kw_dtype = nullptr;  // ("dtype",)
  PyObject *shape_00 = nullptr;  // (0, 0)
};
Names names;

// ---------------------------------------------------------------------------
// Buffer format descriptions, in the words of the dtype-mismatch message.
// ---------------------------------------------------------------------------
const char *describe_type_char(char ch, bool complex) {
  switch (ch) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case '?': return "'bool'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'e': return complex ? "'complex half'" : "'half'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
  }
}

// The format must be one native double ('d'), or for int64 one signed 8-byte
// integer ('l' or 'q'), optionally after a little-endian/native byte-order mark.
bool check_format(const char *fmt, bool int64, Py_ssize_t itemsize) {
  const char *f = fmt ? fmt : "B";
  if (*f == '>' || *f == '!') {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return false;
  }
  if (*f == '@' || *f == '=' || *f == '<' || *f == '^') ++f;
  if (*f == '1' && f[1] != 0 && !(f[1] >= '0' && f[1] <= '9')) ++f;  // an explicit count of one
  bool complex = false;
  char ch = *f;
  if (ch == 'Z') {
    complex = true;
    ch = f[1];
  }
  const bool ok = !complex && f[1] == 0 &&
                  (int64 ? ((ch == 'l' || ch == 'q') && itemsize == 8) : ch == 'd');
  if (!ok) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 int64 ? "long" : "double", "'", describe_type_char(ch, complex));
    return false;
  }
  if (itemsize != 8) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 static_cast<size_t>(itemsize), itemsize > 1 ? "s" : "", int64 ? "long" : "double",
                 static_cast<size_t>(8), "s");
    return false;
  }
  return true;
}

// An exporter may ignore the contiguity request: look at the strides again.
bool check_layout(const Py_buffer &b) {
  if (b.strides == nullptr) return true;  // no strides: contiguous by definition
  for (int d = 0; d < b.ndim; ++d) {
    if (b.shape[d] >= 2) {
      const Py_ssize_t st = b.strides[d];
      const bool last = d == b.ndim - 1;
      if ((last && st != b.itemsize) || (!last && (st < 0 ? -st : st) < b.itemsize)) {
        PyErr_SetString(PyExc_ValueError,
                        "Buffer and memoryview are not contiguous in the same dimension.");
        return false;
      }
    }
    if (b.suboffsets != nullptr && b.suboffsets[d] >= 0) {
      PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.",
                   d);
      return false;
    }
  }
  bool contiguous = true;
  const int last = b.ndim - 1;
  if (b.shape[last] > 1 && b.strides[last] != b.itemsize) contiguous = false;
  if (b.ndim == 2 && b.shape[0] > 1 && b.strides[0] != b.itemsize * b.shape[1]) contiguous = false;
  if (!contiguous) {
    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Scalars.
// ---------------------------------------------------------------------------
bool to_f64(PyObject *o, f64 *out) {
  const f64 v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool long_to_i64(PyObject *o, i64 *out) {
  const long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = static_cast<i64>(v);
  return true;
}

// An int by value; anything else through its __int__ (so a float truncates toward
// zero), whose result must be an int.
bool to_i64(PyObject *o, i64 *out) {
  if (PyLong_Check(o)) return long_to_i64(o, out);
  PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return false;
  }
  Ref r = Ref::steal(nb->nb_int(o));
  if (!r) return false;
  if (!PyLong_CheckExact(r.get())) {
    if (!PyLong_Check(r.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(r.get())->tp_name);
      return false;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(r.get())->tp_name) < 0)
      return false;
  }
  return long_to_i64(r.get(), out);
}

bool to_flag(PyObject *o, i64 *out) {
  if (o == Py_True) {
    *out = 1;
  } else if (o == Py_False || o == Py_None) {
    *out = 0;
  } else {
    const int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    *out = t;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Argument matching.
// ---------------------------------------------------------------------------
PyObject *exact_count_error(const FuncDesc &fn, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               fn.name, "exactly", static_cast<Py_ssize_t>(fn.nparams), "s", given);
  return nullptr;
}

// Index of the parameter of `fn` named `key` among [from, to), or -1 (-2 with an
// exception).
int find_param(const FuncDesc &fn, PyObject *key, int from, int to) {
  for (int i = from; i < to; ++i)
    if (fn.interned[i] == key) return i;
  for (int i = from; i < to; ++i) {
    const int eq = PyUnicode_Check(key) ? PyUnicode_Equal(fn.interned[i], key) : 0;
    if (eq < 0) return -2;
    if (eq) return i;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Notes on refused arguments.
// ---------------------------------------------------------------------------

// Whether `obj` exports a buffer that is read-only (asked for without the
// contiguity and writability the module needs). A refusal of that request is
// forgotten: the pending exception is the original one.
bool read_only(PyObject *obj) {
  PyObject *exc = PyErr_GetRaisedException();
  Py_buffer b;
  bool ro = false;
  if (PyObject_GetBuffer(obj, &b, PyBUF_FULL_RO) == 0) {
    ro = b.readonly != 0;
    PyBuffer_Release(&b);
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
  return ro;
}

// The fix for argument `name`, refused as `why` (arrays) or by the conversion of
// its kind (scalars).
PyObject *fix_for(PyObject *obj, const char *name, Kind kind, View::Refusal why) {
  switch (kind) {
    case Kind::real: return PyUnicode_FromString("pass a real number, such as a float");
    case Kind::integer:
      return PyUnicode_FromString("pass an int between -2**63 and 2**63 - 1");
    case Kind::flag: return PyUnicode_FromString("pass True or False");
    case Kind::ivector:
      return PyUnicode_FromFormat("pass a 1-D int64 array (or None), such as "
                                  "np.ascontiguousarray(%s, dtype=np.int64)",
                                  name);
    case Kind::strided:
      return PyUnicode_FromFormat("pass a 2-D float64 array (or None) with rows or columns "
                                  "contiguous, such as np.require(%s, np.float64, 'CA')",
                                  name);
    case Kind::vector:
    case Kind::matrix: break;
  }
  if (why == View::Refusal::ndim)
    return kind == Kind::vector
               ? PyUnicode_FromFormat("pass a 1-D float64 array (or None), such as "
                                      "np.ascontiguousarray(%s, dtype=np.float64).ravel()",
                                      name)
               : PyUnicode_FromString("pass a 2-D float64 array (or None)");
  if (why == View::Refusal::exporter && read_only(obj))
    return PyUnicode_FromFormat("%s is read-only and arrays are used in place: pass a writable "
                                "copy, np.array(%s, dtype=np.float64, order='C')",
                                name, name);
  if (why == View::Refusal::alignment)
    return PyUnicode_FromFormat("%s does not start on an 8-byte boundary: pass an aligned copy, "
                                "np.array(%s, dtype=np.float64, order='C')",
                                name, name);
  return PyUnicode_FromFormat("pass np.ascontiguousarray(%s, dtype=np.float64)", name);
}

// Adds to the pending exception a note naming argument i of `fn` and its fix, as in
// "argument 'X' of ols_chol_solve(): pass np.ascontiguousarray(X, dtype=np.float64)".
// The message itself is kept as it is. Nothing is added to an exception that is not
// an ordinary error (KeyboardInterrupt, MemoryError), nor when making the note fails.
void note_refusal(const FuncDesc &fn, int i, PyObject *obj, View::Refusal why) {
  PyObject *exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  if (PyErr_GivenExceptionMatches(exc, PyExc_Exception) &&
      !PyErr_GivenExceptionMatches(exc, PyExc_MemoryError)) {
    const char *name = fn.params[i].name;
    Ref fix = Ref::steal(fix_for(obj, name, fn.params[i].kind, why));
    Ref note = Ref::steal(fix ? PyUnicode_FromFormat("argument '%s' of %s(): %U", name, fn.name,
                                                     fix.get())
                              : nullptr);
    Ref done = Ref::steal(note ? PyObject_CallMethodOneArg(exc, names.add_note, note.get())
                               : nullptr);
    if (!done) PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

}  // namespace

// ---------------------------------------------------------------------------
// View
// ---------------------------------------------------------------------------
bool View::accept(PyObject *obj, int ndim, bool int64, Refusal *why) {
  reset();
  const auto refuse = [&](Refusal r) {
    if (why != nullptr) *why = r;
    return false;
  };
  if (obj == Py_None) return true;  // the empty view: every extent 0, null data
  if (PyObject_GetBuffer(obj, &buf_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0)
    return refuse(Refusal::exporter);
  held_ = true;
  if (buf_.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 ndim, buf_.ndim);
    return refuse(Refusal::ndim);
  }
  if (!check_format(buf_.format, int64, buf_.itemsize)) return refuse(Refusal::dtype);
  Py_ssize_t count = 1;
  for (int d = 0; d < ndim; ++d) count *= buf_.shape[d];
  if (count != 0 && !check_layout(buf_)) return refuse(Refusal::layout);
  // The kernels load whole doubles (or int64) through typed pointers: a buffer that
  // starts off an 8-byte boundary (a byte-offset view of raw memory) would make every
  // such load misaligned, so it is refused like any other unusable layout.
  if (count != 0 && reinterpret_cast<uintptr_t>(buf_.buf) % alignof(f64) != 0) {
    PyErr_Format(PyExc_ValueError, "Buffer not aligned to %zu bytes.",
                 static_cast<size_t>(alignof(f64)));
    return refuse(Refusal::alignment);
  }
  data_ = buf_.buf;
  ndim_ = ndim;
  int64_ = int64;
  for (int d = 0; d < ndim; ++d) shape_[d] = static_cast<i64>(buf_.shape[d]);
  stride_[0] = ndim == 2 ? shape_[1] : 1;
  stride_[1] = ndim == 2 ? 1 : 0;
  return true;
}

bool View::accept_strided(PyObject *obj, Refusal *why) {
  reset();
  const auto refuse = [&](Refusal r) {
    if (why != nullptr) *why = r;
    return false;
  };
  if (obj == Py_None) return true;
  if (PyObject_GetBuffer(obj, &buf_, PyBUF_STRIDES | PyBUF_FORMAT) < 0)
    return refuse(Refusal::exporter);
  held_ = true;
  if (buf_.ndim != 2) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 2, buf_.ndim);
    return refuse(Refusal::ndim);
  }
  if (!check_format(buf_.format, false, buf_.itemsize)) return refuse(Refusal::dtype);
  const Py_ssize_t count = buf_.shape[0] * buf_.shape[1];
  for (int d = 0; d < 2; ++d) {
    const Py_ssize_t st = buf_.strides[d];
    if (count != 0 && (st < 0 || st % static_cast<Py_ssize_t>(sizeof(f64)) != 0)) {
      PyErr_Format(PyExc_ValueError,
                   "Buffer strides must be non-negative multiples of %zu bytes (got %zd in "
                   "dimension %d).",
                   sizeof(f64), st, d);
      return refuse(Refusal::layout);
    }
  }
  if (count != 0 && reinterpret_cast<uintptr_t>(buf_.buf) % alignof(f64) != 0) {
    PyErr_Format(PyExc_ValueError, "Buffer not aligned to %zu bytes.",
                 static_cast<size_t>(alignof(f64)));
    return refuse(Refusal::alignment);
  }
  data_ = buf_.buf;
  ndim_ = 2;
  for (int d = 0; d < 2; ++d) {
    shape_[d] = static_cast<i64>(buf_.shape[d]);
    stride_[d] = count != 0 ? static_cast<i64>(buf_.strides[d]) / static_cast<i64>(sizeof(f64)) : 0;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Call
// ---------------------------------------------------------------------------
bool Call::bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  const int n = fn_.nparams;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw == 0 && nargs != n) return exact_count_error(fn_, nargs), false;
  if (nargs > n) return exact_count_error(fn_, nargs), false;
  for (Py_ssize_t i = 0; i < nargs; ++i) given_[i] = args[i];
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, k);
    const int at = find_param(fn_, key, static_cast<int>(nargs), n);
    if (at == -2) return false;
    if (at >= 0) {
      given_[at] = args[nargs + k];
      continue;
    }
    const int dup = find_param(fn_, key, 0, static_cast<int>(nargs));
    if (dup == -2) return false;
    if (dup >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   fn_.name, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn_.name,
                   key);
    }
    return false;
  }
  for (int i = static_cast<int>(nargs); i < n; ++i)
    if (given_[i] == nullptr) return exact_count_error(fn_, i), false;

  for (int i = 0; i < n; ++i) {
    PyObject *o = given_[i];
    bool ok = false;
    View::Refusal why = View::Refusal::none;
    switch (fn_.params[i].kind) {
      case Kind::vector: ok = views_[i].accept(o, 1, false, &why); break;
      case Kind::matrix: ok = views_[i].accept(o, 2, false, &why); break;
      case Kind::real: ok = to_f64(o, &reals_[i]); break;
      case Kind::integer: ok = to_i64(o, &ints_[i]); break;
      case Kind::flag: ok = to_flag(o, &ints_[i]); break;
      case Kind::ivector: ok = views_[i].accept(o, 1, true, &why); break;
      case Kind::strided: ok = views_[i].accept_strided(o, &why); break;
    }
    if (!ok) {
      note_refusal(fn_, i, o, why);
      return false;
    }
  }
  return true;
}

bool Call::at_least(int i, int dim, i64 need, const char *what) const {
  const i64 have = views_[i].extent(dim);
  if (have >= need) return true;
  const bool matrix = fn_.params[i].kind == Kind::matrix || fn_.params[i].kind == Kind::strided;
  const char *unit = !matrix ? "entries" : dim == 0 ? "rows" : "columns";
  PyErr_Format(PyExc_ValueError, "%s(): %s has %lld %s, fewer than %s (%lld)", fn_.name,
               fn_.params[i].name, static_cast<long long>(have), unit, what,
               static_cast<long long>(need));
  return false;
}

PyObject *Call::refuse(const char *format, ...) const {
  char what[512];
  va_list ap;
  va_start(ap, format);
  PyOS_vsnprintf(what, sizeof what, format, ap);
  va_end(ap);
  PyErr_Format(PyExc_ValueError, "%s(): %s", fn_.name, what);
  return nullptr;
}

bool Call::status_ok(i64 status, std::initializer_list<i64> results) const {
  if (status == QDL_OK) return true;
  for (const i64 r : results)
    if (status == r) return true;
  if (status == QDL_REFUSED) {
    refuse("the routine refused its arguments (status %lld, QDL_REFUSED)",
           static_cast<long long>(status));
  } else if (status == QDL_OUT_OF_MEMORY) {
    PyErr_Format(PyExc_MemoryError, "%s(): no working storage (status %lld, QDL_OUT_OF_MEMORY)",
                 fn_.name, static_cast<long long>(status));
  } else {
    PyErr_Format(PyExc_RuntimeError, "%s(): the routine failed with status %lld", fn_.name,
                 static_cast<long long>(status));
  }
  return false;
}

// The module global `np`: the module namespace first, then the builtins.
PyObject *Call::lookup_np() {
  PyObject *np = nullptr;
  if (PyDict_GetItemRef(PyModule_GetDict(module_), names.np, &np) != 0) return np;  // or error
  PyObject *builtins = PyEval_GetFrameBuiltins();
  if (builtins == nullptr) return nullptr;
  const int found = PyDict_GetItemRef(builtins, names.np, &np);
  Py_DECREF(builtins);
  if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.np);
  return np;
}

PyObject *Call::np_attr(PyObject *name) {
  Ref np = Ref::steal(lookup_np());
  return np ? PyObject_GetAttr(np.get(), name) : nullptr;
}

// Whether the memory of `v` meets that of an array or argument the call holds.
bool Call::overlaps_held(const View &v) const {
  if (v.count() == 0) return false;
  const auto lo = reinterpret_cast<uintptr_t>(v.data());
  const uintptr_t hi = lo + static_cast<uintptr_t>(v.count()) * sizeof(f64);
  auto meets = [&](const View &h) {
    if (h.count() == 0) return false;
    const auto hlo = reinterpret_cast<uintptr_t>(h.data());
    return lo < hlo + static_cast<uintptr_t>(h.count()) * sizeof(f64) && hlo < hi;
  };
  for (int i = 0; i < fn_.nparams; ++i)
    if (meets(views_[i])) return true;
  for (int k = 0; k < narrays_; ++k)
    if (meets(array_views_[k])) return true;
  return false;
}

// Accepts `obj`, which np.<source> made for a request of `ndim` extents `want`, as
// view `v`: it must pass the rules for arguments (a writable, aligned, C-contiguous
// buffer of float64, or int64) and have exactly the requested extents. The result
// of np.asarray on an allocated array (`wrapped`) must start where that array does;
// a fresh array from np.empty must not overlap anything the call holds.
// Otherwise TypeError (no buffer at all) or ValueError naming the function, with
// the acceptance failure, if any, as its cause.
bool Call::usable(View &v, PyObject *obj, const char *source, int ndim, const i64 *want,
                  bool int64, const View *wrapped) {
  Ref detail;
  Ref cause;
  if (obj == Py_None) {
    detail = Ref::steal(PyUnicode_FromString("None is not an array"));
  } else if (!v.accept(obj, ndim, int64)) {
    cause = Ref::steal(PyErr_GetRaisedException());
    detail = Ref::steal(PyObject_Str(cause.get()));
  } else if (v.extent(0) != want[0] || (ndim == 2 && v.extent(1) != want[1])) {
    detail = Ref::steal(ndim == 1 ? PyUnicode_FromFormat("its shape is (%lld,)",
                                                         static_cast<long long>(v.extent(0)))
                                  : PyUnicode_FromFormat("its shape is (%lld, %lld)",
                                                         static_cast<long long>(v.extent(0)),
                                                         static_cast<long long>(v.extent(1))));
  } else if (wrapped != nullptr && v.count() != 0 && v.data() != wrapped->data()) {
    detail = Ref::steal(PyUnicode_FromString("it does not share the memory the kernel wrote"));
  } else if (wrapped == nullptr && overlaps_held(v)) {
    detail = Ref::steal(
        PyUnicode_FromString("it overlaps an argument or an array already made for this call"));
  } else {
    return true;
  }
  v.reset();
  if (!detail) return false;
  Ref shape = Ref::steal(ndim == 1 ? PyUnicode_FromFormat("(%lld,)", static_cast<long long>(want[0]))
                                   : PyUnicode_FromFormat("(%lld, %lld)",
                                                          static_cast<long long>(want[0]),
                                                          static_cast<long long>(want[1])));
  if (!shape) return false;
  const bool no_buffer = obj == Py_None || !PyObject_CheckBuffer(obj);
  PyErr_Format(no_buffer ? PyExc_TypeError : PyExc_ValueError,
               "%s(): np.%s returned %.100s where a writable C-contiguous %s array of shape %U "
               "is needed: %U",
               fn_.name, source, Py_TYPE(obj)->tp_name, int64 ? "int64" : "float64", shape.get(),
               detail.get());
  if (cause) {
    PyObject *exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, cause.release());
    PyErr_SetRaisedException(exc);
  }
  return false;
}

void *Call::alloc_any(int ndim, i64 r, i64 c, bool int64) {
  if (narrays_ == kMaxArrays) {
    PyErr_SetString(PyExc_SystemError, "too many arrays in one call");
    return nullptr;
  }
  Ref empty = Ref::steal(np_attr(names.empty));
  if (!empty) return nullptr;
  Ref dtype = Ref::steal(np_attr(int64 ? names.int64 : names.float64));
  if (!dtype) return nullptr;
  Ref shape = Ref::steal(ndim == 1 ? PyLong_FromLongLong(r)
                                   : Py_BuildValue("(LL)", static_cast<long long>(r),
                                                   static_cast<long long>(c)));
  if (!shape) return nullptr;
  PyObject *argv[3] = {nullptr, shape.get(), dtype.get()};
  Ref arr = Ref::steal(PyObject_Vectorcall(empty.get(), argv + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_dtype));
  if (!arr) return nullptr;
  View &v = array_views_[narrays_];
  const i64 want[2] = {r, c};
  if (!usable(v, arr.get(), "empty", ndim, want, int64, nullptr)) return nullptr;
  arrays_[narrays_++] = std::move(arr);
  // A zero-size array may report a null data pointer; kernels never read it then.
  return int64 ? static_cast<void *>(v.i64p()) : static_cast<void *>(v.f64p());
}

// np.asarray(obj), where obj is allocated array `k` or its first `rows` rows.
PyObject *Call::asarray_checked(PyObject *obj, int k, i64 rows) {
  Ref asarray = Ref::steal(np_attr(names.asarray));
  if (!asarray) return nullptr;
  Ref out = Ref::steal(PyObject_CallOneArg(asarray.get(), obj));
  if (!out) return nullptr;
  const View &made = array_views_[k];
  const i64 want[2] = {rows < 0 ? made.extent(0) : rows, made.extent(1)};
  View v;
  if (!usable(v, out.get(), "asarray", made.ndim(), want, made.holds_int64(), &made))
    return nullptr;
  return out.release();
}

PyObject *Call::object(ArrayOut a) {
  if (a.k < 0) return new_empty_factor();
  if (a.rows < 0) return asarray_checked(arrays_[a.k].get(), a.k, -1);
  Ref head =
      Ref::steal(PySequence_GetSlice(arrays_[a.k].get(), 0, static_cast<Py_ssize_t>(a.rows)));
  if (!head) return nullptr;
  return asarray_checked(head.get(), a.k, a.rows);
}

PyObject *Call::new_empty_factor() {
  Ref empty = Ref::steal(np_attr(names.empty));
  if (!empty) return nullptr;
  Ref dtype = Ref::steal(np_attr(names.float64));
  if (!dtype) return nullptr;
  PyObject *argv[3] = {nullptr, names.shape_00, dtype.get()};
  Ref out = Ref::steal(PyObject_Vectorcall(empty.get(), argv + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.kw_dtype));
  if (!out) return nullptr;
  View v;
  const i64 want[2] = {0, 0};
  return usable(v, out.get(), "empty", 2, want, false, nullptr) ? out.release() : nullptr;
}

// ---------------------------------------------------------------------------
// Dispatch, tracebacks, names
// ---------------------------------------------------------------------------
void add_traceback(const char *file, const char *funcname) {
  PyObject *exc = PyErr_GetRaisedException();
  PyCodeObject *code = PyCode_NewEmpty(file, funcname, 0);
  PyObject *globals = PyDict_New();
  PyFrameObject *frame = nullptr;
  if (code != nullptr && globals != nullptr)
    frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

PyObject *dispatch(const ModuleState &m, const FuncDesc &fn, PyObject *module,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *result = nullptr;
  try {
    Call call(fn, module);
    if (call.bind(args, nargs, kwnames)) result = fn.shim(call);
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  if (result == nullptr) {
    char qualified[160];
    PyOS_snprintf(qualified, sizeof qualified, "%s.%s", m.name, fn.name);
    add_traceback(m.file, qualified);
  }
  return result;
}

bool init_names(const FuncDesc *const *table, int count) {
  for (int f = 0; f < count; ++f)
    for (int i = 0; i < table[f]->nparams; ++i)
      if (table[f]->interned[i] == nullptr &&
          (table[f]->interned[i] = PyUnicode_InternFromString(table[f]->params[i].name)) ==
              nullptr)
        return false;
  if (names.ready) return true;
  struct {
    PyObject **slot;
    const char *text;
  } strings[] = {{&names.np, "np"},           {&names.empty, "empty"},
                 {&names.asarray, "asarray"}, {&names.float64, "float64"},
                 {&names.int64, "int64"},     {&names.add_note, "add_note"}};
  for (auto &s : strings)
    if ((*s.slot = PyUnicode_InternFromString(s.text)) == nullptr) return false;
  // The keyword name interned, so that numpy matches it by identity.
  PyObject *dtype = PyUnicode_InternFromString("dtype");
  if (dtype == nullptr) return false;
  names.kw_dtype = PyTuple_Pack(1, dtype);
  Py_DECREF(dtype);
  if (names.kw_dtype == nullptr) return false;
  if ((names.shape_00 = Py_BuildValue("(ii)", 0, 0)) == nullptr) return false;
  names.ready = true;
  return true;
}

// ---------------------------------------------------------------------------
// Module creation and execution
// ---------------------------------------------------------------------------
namespace {

// Copies spec.<attr> to module.<name>; a missing attribute, or None where None is not
// wanted, is skipped.
int copy_spec_attr(PyObject *spec, PyObject *module, const char *attr, const char *name,
                   bool allow_none) {
  PyObject *value = nullptr;
  if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return -1;
  Ref held = Ref::steal(value);
  if (value == nullptr || (value == Py_None && !allow_none)) return 0;
  return PyObject_SetAttrString(module, name, value);
}

const char *short_name(const ModuleState &m) {
  const char *dot = strrchr(m.name, '.');
  return dot != nullptr ? dot + 1 : m.name;
}

int exec_steps(const ModuleState &m, PyObject *module, const FuncDesc *const *table,
               const PyCFunctionFastWithKeywords *entries, PyMethodDef *defs, int count) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;

  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if ((major != 3 || minor != 14) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "compile time Python version %d.%d of module '%.100s' %s runtime "
                       "version %d.%d",
                       3, 14, m.name, "does not match", major, minor) < 0)
    return -1;

  if (!init_names(table, count)) return -1;
  PyObject *sys_modules = PyImport_GetModuleDict();  // borrowed
  Ref full = Ref::steal(PyUnicode_FromString(m.name));
  if (!full) return -1;
  const int has = PyDict_Contains(sys_modules, full.get());
  if (has < 0 || (has == 0 && PyDict_SetItem(sys_modules, full.get(), module) < 0)) return -1;

  if (PyModule_Add(module, "np", PyImport_ImportModule("numpy")) < 0) return -1;

  for (int i = 0; i < count; ++i) {
    auto *entry = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entries[i]));
    defs[i] = PyMethodDef{table[i]->name, entry, METH_FASTCALL | METH_KEYWORDS, table[i]->doc};
    if (PyModule_Add(module, table[i]->name, PyCFunction_NewEx(&defs[i], module, full.get())) < 0)
      return -1;
  }
  if (PyModule_Add(module, "__test__", PyDict_New()) < 0) return -1;
  return 0;
}

}  // namespace

PyObject *create_module(ModuleState &m, PyObject *spec) {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  int64_t owner = -1;
  if (!m.owner.compare_exchange_strong(owner, id) && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (m.object != nullptr) return Py_NewRef(m.object);
  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(spec, module.get(), "loader", "__loader__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "origin", "__file__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "parent", "__package__", true) < 0 ||
      copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false) < 0)
    return nullptr;
  return module.release();
}

int exec_module(ModuleState &m, PyObject *module, const FuncDesc *const *table,
                const PyCFunctionFastWithKeywords *entries, PyMethodDef *defs, int count) {
  if (m.object != nullptr) {
    if (m.object == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 short_name(m));
    return -1;
  }
  m.object = Py_NewRef(module);
  if (exec_steps(m, module, table, entries, defs, count) == 0) return 0;
  char where[160];
  PyOS_snprintf(where, sizeof where, "init %s", m.name);
  add_traceback(m.file, where);
  Py_CLEAR(m.object);
  return -1;
}

}  // namespace qdl::py
