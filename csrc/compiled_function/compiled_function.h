// Compiled functions: what a Python `def` gives Python code, for C++ bodies.
//
// A compiled function is a Python-callable object whose body is a C++ function. It is described
// once, by a static `FunctionDef`: its name, qualified name, docstring, a table of parameter
// records and the body. Everything Python sees is derived from that table: the argument binder
// and its messages, `__annotations__` (strings, as under postponed evaluation) and
// `__signature__`. Like a Python function it carries `__module__`, `__doc__`, `__dict__`, binds
// as a method when stored in a class, and works under `staticmethod` and `property`.
//
// It is not a code object: there is no frame. A body sees its bound arguments, the globals of the
// module that made it (looked up on every use, so monkeypatching works), the values captured by a
// closure, and the class that defined it (for `super()`).
//
// Error contract: a body reports a Python error by throwing `py::error_already_set` (pybind11's
// helpers do so); the exception is restored unchanged at the call boundary. No C++ exception
// ever reaches CPython.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

namespace plumo {

namespace py = pybind11;

/// How a parameter takes its argument.
enum class Kind : unsigned char {
    positional,      ///< by position or by keyword
    var_positional,  ///< `*args`: the extra positional arguments, as a tuple
    keyword_only,    ///< by keyword only (after `*` or `*args`)
};

/// Exact-type check made before the body runs; None always passes.
enum class Check : unsigned char { none, exact_str, exact_dict };

/// One parameter record. Build with `param("name")` and the chained modifiers.
struct Param {
    const char* name;      ///< the parameter's name, as Python sees it
    Kind kind;             ///< how it binds
    const char* default_;  ///< Python literal of the default ("None", "True", "0"); null: required
    const char* annotation;  ///< annotation source text ("str", "Gst.Element"); null: none
    Check check;             ///< exact-type check

    constexpr Param with_default(const char* literal) const {
        return {name, kind, literal, annotation, check};
    }
    constexpr Param annotated(const char* text) const {
        return {name, kind, default_, text, check};
    }
    /// Annotated `str`, accepting exactly `str` or None.
    constexpr Param str() const { return {name, kind, default_, "str", Check::exact_str}; }
    /// Annotated `dict`, accepting exactly `dict` or None.
    constexpr Param dict() const { return {name, kind, default_, "dict", Check::exact_dict}; }
    constexpr Param keyword_only() const {
        return {name, Kind::keyword_only, default_, annotation, check};
    }
};

constexpr Param param(const char* name) {
    return {name, Kind::positional, nullptr, nullptr, Check::none};
}
constexpr Param var_args(const char* name) {
    return {name, Kind::var_positional, nullptr, nullptr, Check::none};
}

constexpr std::size_t max_params = 12;

class Call;
using Body = py::object (*)(Call&);

/// The static description of one compiled function.
struct FunctionDef {
    const char* name;         ///< `__name__`, also the name in argument messages
    const char* qualname;     ///< `__qualname__`
    const char* doc;          ///< `__doc__`; null: None
    const Param* params;      ///< parameter records, in signature order
    std::size_t param_count;  ///< entries in `params` (at most `max_params`)
    const char* returns;      ///< return annotation source text; null: none
    Body body;                ///< the code
};

template <std::size_t N>
constexpr FunctionDef function(const char* name, const char* qualname, const Param (&params)[N],
                               Body body, const char* doc = nullptr,
                               const char* returns = nullptr) {
    static_assert(N <= max_params, "too many parameters");
    return {name, qualname, doc, params, N, returns, body};
}
/// A function without parameters.
constexpr FunctionDef function(const char* name, const char* qualname, Body body,
                               const char* doc = nullptr, const char* returns = nullptr) {
    return {name, qualname, doc, nullptr, 0, returns, body};
}

/// An interned name, made on first use (with the GIL held) and kept for the process.
/// It caches the key only, never what the key looks up.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const { return interned_ != nullptr ? interned_ : intern(); }
    /// The interned string as a value, for constant texts on hot paths (borrowed).
    py::handle value() const { return get(); }
    const char* c_str() const { return text_; }

private:
    PyObject* intern() const;
    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

/// What a running body sees: its bound arguments and its function's environment.
class Call {
public:
    /// The argument bound to parameter `i` (signature order); for `*args`, the tuple.
    py::handle operator[](std::size_t i) const { return values_[i]; }
    /// `name` as the body's module sees it now: its globals, then builtins; NameError if absent.
    py::object global(const Name& name) const {
        PyObject* value = PyDict_GetItemWithError(globals_, name.get());
        if (value == nullptr)
            return global_fallback(name);
        return py::reinterpret_borrow<py::object>(value);
    }
    /// Value `i` captured by the closure that made this function.
    py::handle captured(std::size_t i) const;
    /// `super()` inside a method: super(defining class, self).
    py::object super_(py::handle self) const;
    /// A new function of the same module, closing over `captured` (the `lambda` of a body).
    py::object closure(const FunctionDef& def, std::initializer_list<py::handle> captured) const;
    py::handle globals() const { return globals_; }

private:
    friend struct Binder;
    py::object global_fallback(const Name& name) const;
    PyObject* function_ = nullptr;  // the running compiled function (borrowed)
    PyObject* globals_ = nullptr;   // its module's dict (borrowed)
    PyObject* values_[max_params];  // borrowed from the caller or the defaults; the
                                    // binder sets every entry
    py::object varargs_;            // the `*args` tuple, when the signature has one
};

// --- Making functions, classes and modules -----------------------------------------------------

/// Ready the function type for this extension module; call first in the module's init.
void init_compiled_functions();

/// A new compiled function whose globals (and so `__module__`) are those of `module`.
py::object make_function(py::module_ module, const FunctionDef& def);
/// The same, closing over `captured`: module-level state that only its bodies see.
py::object make_function(py::module_ module, const FunctionDef& def,
                         std::initializer_list<py::handle> captured);
/// A read-only `property` whose getter is a new compiled function made from `getter`.
py::object make_property(py::module_ module, const FunctionDef& getter);

/// An entry of a class namespace, kept in order.
using Member = std::pair<const char*, py::object>;

/// Create a class as a `class` statement does: prepare the namespace with the metaclass of
/// `bases`, fill `__module__`, `__qualname__`, `__doc__` and `members` in order, call the
/// metaclass, then record the class in its compiled methods for `super()`.
py::object make_class(py::module_ module, const char* name, py::tuple bases, const char* doc,
                      std::initializer_list<Member> members);

/// `from <module> import <name>` (with `level` > 0, relative to `importer`'s package).
py::object import_from(const char* module, const char* name, py::module_ importer = {},
                       int level = 0);

// --- Python operations that read like Python ---------------------------------------------------

/// Own a new reference; a null result means a Python error is set, which is thrown.
inline py::object steal(PyObject* result) {
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

/// `f(*args)` through vectorcall.
template <typename... Args>
py::object invoke(py::handle f, Args&&... args) {
    PyObject* argv[] = {nullptr, py::handle(std::forward<Args>(args)).ptr()...};
    return steal(PyObject_Vectorcall(f.ptr(), argv + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `o.name(*args)`, looked up as CPython's own method calls are, without a bound method.
template <typename... Args>
py::object call_method(py::handle o, const Name& name, Args&&... args) {
    PyObject* argv[] = {nullptr, o.ptr(), py::handle(std::forward<Args>(args)).ptr()...};
    return steal(PyObject_VectorcallMethod(
        name.get(), argv + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `f(*leading, *rest)`: the leading values, then the items of the tuple `rest` (a `*args`).
py::object invoke_star(py::handle f, std::initializer_list<py::handle> leading, py::handle rest);

/// One `name=value` of a call.
struct Keyword {
    const Name& name;
    py::handle value;
};
/// `f(*positional, name=value, ...)`, passed as Python's own calls pass them: vectorcall, with the
/// keyword names in a tuple.
py::object invoke_keywords(py::handle f, std::initializer_list<py::handle> positional,
                           std::initializer_list<Keyword> keywords);

// A Name is always an interned exact str, so the type's own slots can be called directly: the
// checks PyObject_GetAttr/SetAttr make on the name first have nothing to do.
inline py::object getattr(py::handle o, const Name& name) {
    getattrofunc get = Py_TYPE(o.ptr())->tp_getattro;
    if (get == nullptr)
        return steal(PyObject_GetAttr(o.ptr(), name.get()));
    return steal(get(o.ptr(), name.get()));
}
inline void setattr(py::handle o, const Name& name, py::handle value) {
    setattrofunc set = Py_TYPE(o.ptr())->tp_setattro;
    int r = set != nullptr ? set(o.ptr(), name.get(), value.ptr())
                           : PyObject_SetAttr(o.ptr(), name.get(), value.ptr());
    if (r < 0)
        throw py::error_already_set();
}
inline bool truth(py::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw py::error_already_set();
    return r != 0;
}
/// `a <op> b` as a bool, for op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
inline bool compare(py::handle a, py::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw py::error_already_set();
    return r != 0;
}
/// `str(o)`
inline py::object str(py::handle o) {
    return steal(PyObject_Str(o.ptr()));
}
/// `f"{o}"`, that is `format(o, "")`.
py::object format(py::handle o);
/// `a + b`
inline py::object add(py::handle a, py::handle b) {
    return steal(PyNumber_Add(a.ptr(), b.ptr()));
}
/// The text of an f-string: the formatted pieces, joined.
template <typename... Pieces>
py::object fstring(Pieces&&... pieces) {
    py::object parts[] = {format(py::handle(std::forward<Pieces>(pieces)))...};
    py::object text = parts[0];
    for (std::size_t i = 1; i < sizeof...(Pieces); ++i)
        text = steal(PyUnicode_Concat(text.ptr(), parts[i].ptr()));
    return text;
}

/// `a, b, ... = o` for N targets, with Python's own errors.
template <std::size_t N>
std::array<py::object, N> unpack(py::handle o);
extern template std::array<py::object, 2> unpack<2>(py::handle);
extern template std::array<py::object, 3> unpack<3>(py::handle);

/// `raise exc`: an exception class is called with no argument, an instance is raised as is.
[[noreturn]] void raise(py::handle exc);
/// `raise exc_class(arg)`
[[noreturn]] void raise(py::handle exc_class, py::handle arg);

/// A `finally` clause, from inside a `catch` block: runs `cleanup`, then rethrows the exception
/// being handled. An error from the cleanup itself replaces a pending Python error, which becomes
/// its `__context__`, as in Python.
template <typename Cleanup>
[[noreturn]] void rethrow_after(Cleanup&& cleanup) {
    try {
        throw;
    } catch (py::error_already_set& pending) {
        try {
            cleanup();
        } catch (py::error_already_set& replacing) {
            PyException_SetContext(replacing.value().ptr(), pending.value().inc_ref().ptr());
            throw;
        }
        throw;
    } catch (...) {
        cleanup();
        throw;
    }
}

}  // namespace plumo
