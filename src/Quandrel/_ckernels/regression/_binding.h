// The calling conventions shared by every function of the extension modules made from
// a function list: _regression (_functions.h) and _routines (_routines_functions.h).
//
// A function is declared once, in its module's list: its name, its parameters
// (name and kind), its results (name and kind) and its docstring's text. The shared
// dispatcher matches the arguments, accepts the arrays in place and converts the
// scalars, all before the shim runs; the shim reads its arguments by name
// (`c.real<Arg::alpha>()`) and the sizes from the extents, allocates its outputs
// through `Call::alloc`, runs its one kernel through `Call::nogil`, and hands its
// results to `results(c, ...)`, which checks them against the declaration at compile
// time. Every Python reference and every buffer view is owned by a holder that
// releases it on every path. No numeric work happens in this layer.
#ifndef QUANDREL_CKERNELS_REGRESSION_BINDING_H
#define QUANDREL_CKERNELS_REGRESSION_BINDING_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>

#include <array>
#include <initializer_list>
#include <atomic>
#include <iterator>
#include <type_traits>
#include <utility>

#include "../_common/qdl_common.h"

namespace qdl::py {

// An owned (strong) reference, released in the destructor.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject *o) { return Ref(o); }
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref &operator=(Ref &&o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject *get() const { return p_; }
  PyObject *release() { return std::exchange(p_, nullptr); }  // hands ownership back
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject *o) : p_(o) {}
  PyObject *p_ = nullptr;
};

// An accepted array: a held buffer view (or None's empty view), its data pointer and
// extents. The view is released in the destructor.
class View {
 public:
  View() = default;
  View(const View &) = delete;
  View &operator=(const View &) = delete;
  ~View() { reset(); }
  void reset() {
    if (held_) PyBuffer_Release(&buf_);
    held_ = false;
    data_ = nullptr;
    ndim_ = 0;
    int64_ = false;
    shape_[0] = shape_[1] = 0;
    stride_[0] = stride_[1] = 0;
  }

  // Why an object was refused: by its exporter (no buffer, not C-contiguous,
  // read-only), for its dimension count, its element type (format, byte order, item
  // size), its strides, or its alignment.
  enum class Refusal { none, exporter, ndim, dtype, layout, alignment };

  // The acceptance rules: None, or a writable C-contiguous buffer of `ndim`
  // dimensions holding native 8-byte doubles (or, with `int64`, signed 8-byte
  // integers), aligned to 8 bytes unless empty. Raises and returns false otherwise,
  // with the step that refused it in `why` when given.
  bool accept(PyObject *obj, int ndim, bool int64, Refusal *why = nullptr);

  // The rules for a 2-D float64 array read where it lies: None, or a buffer (read-only
  // allowed) of native 8-byte doubles, aligned to 8 bytes unless empty, whose strides
  // are whole elements >= 0 (rows or columns contiguous, or slices of either).
  bool accept_strided(PyObject *obj, Refusal *why = nullptr);

  const void *data() const { return data_; }
  f64 *f64p() const { return static_cast<f64 *>(data_); }
  i64 *i64p() const { return static_cast<i64 *>(data_); }
  i64 extent(int d) const { return shape_[d]; }
  i64 stride(int d) const { return stride_[d]; }  // in elements
  i64 len() const { return shape_[0]; }
  i64 rows() const { return shape_[0]; }
  i64 cols() const { return shape_[1]; }
  int ndim() const { return ndim_; }
  bool holds_int64() const { return int64_; }
  i64 count() const { return ndim_ == 0 ? 0 : ndim_ == 1 ? shape_[0] : shape_[0] * shape_[1]; }

 private:
  Py_buffer buf_{};
  bool held_ = false;
  void *data_ = nullptr;
  int ndim_ = 0;  // 0 for None's empty view
  bool int64_ = false;
  i64 shape_[2] = {0, 0};
  i64 stride_[2] = {0, 0};
};

// vector, matrix: float64 arrays used in place (accept); ivector: a 1-D int64 array
// (accept with int64); strided: a 2-D float64 array read where it lies
// (accept_strided).
enum class Kind : unsigned char { vector, matrix, real, integer, flag, ivector, strided };

constexpr bool is_array(Kind k) {
  return k == Kind::vector || k == Kind::matrix || k == Kind::ivector || k == Kind::strided;
}

struct Param {
  const char *name;
  Kind kind;
};

// A result: a float64 array the call allocated (or the empty factor), an int64 array
// it allocated, a float, an int.
enum class Out : unsigned char { array, iarray, real, integer };

struct Result {
  const char *name;
  Out kind;
};

// An array result, turned into the returned object only once the shim hands over all
// its results (so that none is made after another has failed): allocated array `k`
// (all of it, or its first `rows` rows), or, for k < 0, a new empty (0, 0) float64
// array in place of a factor that failed.
struct ArrayOut {
  int k;
  i64 rows;
};

// The kind of result a shim's value of type V is.
template <class V>
constexpr Out out_kind() {
  if constexpr (std::is_same_v<V, ArrayOut>) {
    return Out::array;
  } else if constexpr (std::is_same_v<V, f64>) {
    return Out::real;
  } else {
    static_assert(std::is_same_v<V, i64>, "a result is an ArrayOut, an f64 or an i64");
    return Out::integer;
  }
}

// The most parameters a declaration may have (glm_working's twelve);
// QDL_DECLARE checks each declaration against it.
constexpr int kMaxParams = 12;
constexpr int kMaxArrays = 8;

class Call;
using Shim = PyObject *(*)(Call &);

struct FuncDesc {
  const char *name;
  const char *doc;  // "name(a, b)\n--\n\n<docstring>": the signature line feeds inspect
  int nparams;
  const Param *params;
  PyObject **interned;  // the parameter names, interned by init_names
  Shim shim;
};

// One call of a module function: its matched and converted arguments, the arrays it
// allocated, and the holders that release all of them when the call ends.
class Call {
 public:
  Call(const FuncDesc &fn, PyObject *module) : fn_(fn), module_(module) {}

  // Raises ValueError "<name>(): <what>" (printf-style) and returns null: a refusal
  // the declaration cannot express, made before the kernel runs.
  PyObject *refuse(const char *format, ...) const __attribute__((format(printf, 2, 3)));

  // Raises ValueError unless matrix parameter I is square.
  template <auto I>
  bool square() const {
    return at_least<I>(1, arr<I>().rows(), "its row count") &&
           at_least<I>(0, arr<I>().cols(), "its column count");
  }

  // The outcome of a routine returning enum qdl_status, for its shim: true for QDL_OK
  // (and for the statuses the routine returns as a result, listed in `results`),
  // else the exception (ValueError for QDL_REFUSED, MemoryError for
  // QDL_OUT_OF_MEMORY, RuntimeError for any other) and false.
  bool status_ok(i64 status, std::initializer_list<i64> results = {}) const;

  // Argument matching and conversion, in parameter order.
  bool bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

  // Converted arguments by their named index in the function's declaration, e.g.
  // `c.real<Arg::alpha>()`; a parameter read as another kind does not compile.
  template <auto I>
  const View &arr() const {
    return views_[index<I, Kind::vector, Kind::matrix, Kind::ivector, Kind::strided>()];
  }
  template <auto I>
  f64 real() const { return reals_[index<I, Kind::real>()]; }
  template <auto I>
  i64 integer() const { return ints_[index<I, Kind::integer>()]; }
  template <auto I>
  i64 flag() const { return ints_[index<I, Kind::flag>()]; }  // 1 or 0

  // Raises ValueError unless extent `dim` of array parameter I is at least `need`;
  // `what` names the size it must cover, e.g. "the row count of X".
  template <auto I>
  bool at_least(int dim, i64 need, const char *what) const {
    return at_least(index<I, Kind::vector, Kind::matrix, Kind::ivector, Kind::strided>(), dim,
                    need, what);
  }

  // np.empty(n | (r, c), dtype=np.float64 | np.int64), accepted as a view. The
  // arrays are numbered in allocation order; null (with an exception) on failure.
  // Whatever `np` is, the kernel gets exactly what it asked for: an object that
  // is not a writable, aligned, C-contiguous buffer of that dtype and exactly that
  // shape, or that overlaps an array already held by the call, is refused with an
  // exception naming the function before any kernel runs.
  f64 *alloc(i64 n) { return static_cast<f64 *>(alloc_any(1, n, 0, false)); }
  f64 *alloc(i64 r, i64 c) { return static_cast<f64 *>(alloc_any(2, r, c, false)); }
  i64 *alloc_i64(i64 n) { return static_cast<i64 *>(alloc_any(1, n, 0, true)); }

  // Runs `kernel` with the interpreter lock released: the single release of a call.
  template <class F>
  void nogil(F &&kernel) {
    PyThreadState *ts = PyEval_SaveThread();
    kernel();
    PyEval_RestoreThread(ts);
  }

  // Array results: allocated array `k`, its first `n` rows, or np.empty((0, 0),
  // dtype=np.float64), the factor returned after a failed solve.
  static ArrayOut made(int k) { return {k, -1}; }
  static ArrayOut made_rows(int k, i64 n) { return {k, n}; }
  static ArrayOut empty_factor() { return {-1, 0}; }

  // The returned object: the one result, or the tuple of them in order. An array
  // result is np.asarray of what the call allocated, checked to be a buffer of that
  // shape and dtype over the same memory (what the kernel wrote). Use the
  // declaration's `results(c, ...)`, which checks the results' count and kinds.
  template <class... V>
  PyObject *results(V... v) {
    constexpr int n = static_cast<int>(sizeof...(V));
    PyObject *items[n] = {};
    int made = 0;
    const bool ok = ((items[made] = object(v), items[made++] != nullptr) && ...);
    if (ok && n == 1) return items[0];
    PyObject *tuple = ok ? PyTuple_New(n) : nullptr;
    for (int i = 0; i < made; ++i) {
      if (tuple != nullptr) {
        PyTuple_SET_ITEM(tuple, i, items[i]);
      } else {
        Py_XDECREF(items[i]);
      }
    }
    return tuple;
  }

  const char *name() const { return fn_.name; }
  // The declared name of parameter I.
  template <auto I>
  const char *param_name() const { return fn_.params[static_cast<int>(I)].name; }

 private:
  template <auto I, Kind... Accepted>
  static constexpr int index() {
    static_assert(((kind_of(I) == Accepted) || ...), "parameter read as another kind");
    return static_cast<int>(I);
  }
  bool at_least(int i, int dim, i64 need, const char *what) const;
  PyObject *object(ArrayOut a);
  PyObject *new_empty_factor();
  static PyObject *object(f64 v) { return PyFloat_FromDouble(v); }
  static PyObject *object(i64 v) { return PyLong_FromLongLong(static_cast<long long>(v)); }
  void *alloc_any(int ndim, i64 r, i64 c, bool int64);
  PyObject *lookup_np();
  PyObject *np_attr(PyObject *name);
  PyObject *asarray_checked(PyObject *obj, int k, i64 rows);
  bool usable(View &v, PyObject *obj, const char *source, int ndim, const i64 *want, bool int64,
              const View *wrapped);
  bool overlaps_held(const View &v) const;

  const FuncDesc &fn_;
  PyObject *module_;
  PyObject *given_[kMaxParams] = {};  // borrowed from the caller's argument vector
  View views_[kMaxParams];
  f64 reals_[kMaxParams] = {};
  i64 ints_[kMaxParams] = {};
  Ref arrays_[kMaxArrays];
  View array_views_[kMaxArrays];
  int narrays_ = 0;
};

// A module made from a function list: its names and the process-wide state of the
// one interpreter it may live in (module creation binds it to the first interpreter
// that imports it and hands the same object back on any later creation there).
struct ModuleState {
  const char *name;  // qualified, "Quandrel._ckernels.regression._regression"
  const char *file;  // the file named in its traceback entries, "_regression.cpp"
  std::atomic<int64_t> owner{-1};
  PyObject *object = nullptr;
};

// Vectorcall entry shared by all functions.
PyObject *dispatch(const ModuleState &m, const FuncDesc &fn, PyObject *module,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// Adds a traceback entry naming `funcname` in `file` to the pending exception.
void add_traceback(const char *file, const char *funcname);

// Interned names and constants, and the parameter names of `table`, made by the
// module's exec step.
bool init_names(const FuncDesc *const *table, int count);

// The module's create and exec steps: creation as ModuleState says; execution checks
// the Python version, binds numpy as `np` and places the functions of `table` (with
// their method definitions `defs` and entries) in the namespace.
PyObject *create_module(ModuleState &m, PyObject *spec);
int exec_module(ModuleState &m, PyObject *module, const FuncDesc *const *table,
                const PyCFunctionFastWithKeywords *entries, PyMethodDef *defs, int count);

// The slots of the module whose functions are the list `Table` (an array of
// FuncDesc pointers) and whose state is `S`: each function's entry, and the create
// and exec steps over them. A module's source names its list once:
//   ModuleState state{"Quandrel...._name", "_name.cpp"};
//   PyModuleDef def = {..., .m_slots = Slots<kFunctions, state>::slots};
template <auto &Table, ModuleState &S>
struct Slots {
  static constexpr int count = static_cast<int>(std::size(Table));

  template <int I>
  static PyObject *entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    return dispatch(S, *Table[I], self, args, nargs, kwnames);
  }
  template <int... I>
  static constexpr auto make_entries(std::integer_sequence<int, I...>) {
    return std::array<PyCFunctionFastWithKeywords, sizeof...(I)>{entry<I>...};
  }
  static constexpr auto entries = make_entries(std::make_integer_sequence<int, count>{});
  static inline PyMethodDef defs[count];  // filled once, by the first (only) execution

  static PyObject *create(PyObject *spec, PyModuleDef *) { return create_module(S, spec); }
  static int exec(PyObject *module) {
    return exec_module(S, module, Table, entries.data(), defs, count);
  }
  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void *>(create)},
      {Py_mod_exec, reinterpret_cast<void *>(exec)},
      {0, nullptr},
  };
};

// ---------------------------------------------------------------------------
// Declarations. A function's parameters and results are written once, each as a
// sequence (name, kind, text)(name, kind, text)..., in its module's list, and
// QDL_DECLARE(fn, params, results, summary, note, sound, refused) makes, in namespace
// `fn` (the texts, the sound and the refused call are read by the tools that make the
// stubs, the reference page and the tests, tools/function_list.py):
//   Arg       the named indices of the parameters (Arg::X, Arg::alpha, ...);
//   kParams   their names and kinds, which argument matching and conversion use;
//   kResults  the results' names and kinds;
//   kDoc      the docstring behind its text signature "fn(X, y, ...)\n--\n\n": the
//             summary, "Returns" and the results, the note;
//   results   what the shim returns, results(c, ...), checked against kResults;
//   function  the FuncDesc of the module's function table, whose body is `shim`.
// ---------------------------------------------------------------------------

// Feeds "name(a, b)\n--\n\n<summary> Returns <results><note>." to `put`, char by char.
// The results read ``(a, b)`` when there are several, ``a`` for one array, and "a
// float" or "an int" for one number.
template <size_t N, size_t R, class Put>
constexpr void compose_doc(const char *name, const Param (&params)[N], const Result (&results)[R],
                           const char *summary, const char *note, Put put) {
  auto text = [&](const char *s) {
    for (; *s != 0; ++s) put(*s);
  };
  text(name);
  text("(");
  for (size_t i = 0; i < N; ++i) {
    if (i != 0) text(", ");
    text(params[i].name);
  }
  text(")\n--\n\n");
  text(summary);
  text(" Returns ");
  if (R == 1 && results[0].kind != Out::array && results[0].kind != Out::iarray) {
    text(results[0].kind == Out::real ? "a float" : "an int");
  } else {
    text(R == 1 ? "``" : "``(");
    for (size_t i = 0; i < R; ++i) {
      if (i != 0) text(", ");
      text(results[i].name);
    }
    text(R == 1 ? "``" : ")``");
  }
  text(note);
  text(".");
}

// The size of that text with its terminating NUL.
template <size_t N, size_t R>
consteval size_t doc_size(const char *name, const Param (&params)[N], const Result (&results)[R],
                          const char *summary, const char *note) {
  size_t size = 1;
  compose_doc(name, params, results, summary, note, [&](char) { ++size; });
  return size;
}

template <size_t Size>
struct DocText {
  template <size_t N, size_t R>
  consteval DocText(const char *name, const Param (&params)[N], const Result (&results)[R],
                    const char *summary, const char *note) {
    size_t at = 0;
    compose_doc(name, params, results, summary, note, [&](char ch) { text[at++] = ch; });
  }
  char text[Size] = {};
};

// Whether values of the types V... are results of the kinds declared, in order.
template <class... V, size_t R>
constexpr bool results_match(const Result (&declared)[R]) {
  if (sizeof...(V) != R) return false;
  const Out given[] = {out_kind<V>()...};
  for (size_t i = 0; i < R; ++i) {
    const Out want = declared[i].kind == Out::iarray ? Out::array : declared[i].kind;  // ArrayOut
    if (given[i] != want) return false;
  }
  return true;
}

// A sequence (a, k)(b, k)... is walked by two macros taking turns, each naming the
// other after its output; the name left after the last element gets _END pasted on
// and expands to nothing.
#define QDL_END(...) QDL_END_(__VA_ARGS__)
#define QDL_END_(...) __VA_ARGS__##_END
#define QDL_INDICES(params) QDL_END(QDL_INDEX_A params)
#define QDL_INDEX_A(name, kind, doc) name, QDL_INDEX_B
#define QDL_INDEX_B(name, kind, doc) name, QDL_INDEX_A
#define QDL_INDEX_A_END
#define QDL_INDEX_B_END
#define QDL_PARAMS(params) QDL_END(QDL_PARAM_A params)
#define QDL_PARAM_A(name, kind, doc) {#name, ::qdl::py::Kind::kind}, QDL_PARAM_B
#define QDL_PARAM_B(name, kind, doc) {#name, ::qdl::py::Kind::kind}, QDL_PARAM_A
#define QDL_PARAM_A_END
#define QDL_PARAM_B_END
#define QDL_RESULTS(results) QDL_END(QDL_RESULT_A results)
#define QDL_RESULT_A(name, kind, shape) {#name, ::qdl::py::Out::kind}, QDL_RESULT_B
#define QDL_RESULT_B(name, kind, shape) {#name, ::qdl::py::Out::kind}, QDL_RESULT_A
#define QDL_RESULT_A_END
#define QDL_RESULT_B_END

// A module's function table, in namespace order, is its list expanded by this:
//   constexpr const FuncDesc *kFunctions[] = {QDL_FUNCTIONS(QDL_FUNCTION_DESC)};
#define QDL_FUNCTION_DESC(fn, ...) &fn::function,

#define QDL_DECLARE(fn, params, outs, summary, note, ...)                                          \
  namespace fn {                                                                                   \
  enum class Arg : int { QDL_INDICES(params) };                                                    \
  inline constexpr Param kParams[] = {QDL_PARAMS(params)};                                         \
  inline constexpr Result kResults[] = {QDL_RESULTS(outs)};                                        \
  inline constexpr int kCount = static_cast<int>(sizeof kParams / sizeof kParams[0]);              \
  static_assert(kCount <= kMaxParams, #fn " declares more than kMaxParams parameters");            \
  constexpr Kind kind_of(Arg a) { return kParams[static_cast<int>(a)].kind; }                      \
  inline constexpr DocText<doc_size(#fn, kParams, kResults, summary, note)> kDoc{                  \
      #fn, kParams, kResults, summary, note};                                                      \
  inline PyObject *interned[kCount];                                                               \
  PyObject *shim(Call &c);                                                                         \
  template <class... V>                                                                            \
  PyObject *results(Call &c, V... v) {                                                             \
    static_assert(results_match<V...>(kResults), #fn ": the shim's results are not the declared"  \
                                                     " ones (their count, order or kinds)");      \
    return c.results(v...);                                                                        \
  }                                                                                                \
  inline constexpr FuncDesc function = {#fn, kDoc.text, kCount, kParams, interned, shim};          \
  }

}  // namespace qdl::py

#endif  // QUANDREL_CKERNELS_REGRESSION_BINDING_H
