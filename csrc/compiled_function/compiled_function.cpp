#include "compiled_function.h"

#include <structmember.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject* Py_XNewRef(PyObject* o) {
    Py_XINCREF(o);
    return o;
}
#endif

namespace plumo {

namespace {

// --- Signature shape, worked out from the table ------------------------------------------------

struct Shape {
    Py_ssize_t max_positional = 0;            // parameters that take a position
    Py_ssize_t min_positional = 0;            // leading positional parameters without a default
    std::size_t var_positional = max_params;  // index of `*args`, or max_params
    bool exact = false;                       // "exactly" in the count message
    bool checked = false;                     // some parameter has an exact-type check
    bool simple = false;                      // only positional parameters, none of them checked
};

Shape shape_of(const FunctionDef& def) {
    Shape s;
    for (std::size_t i = 0; i < def.param_count; ++i) {
        const Param& p = def.params[i];
        if (p.kind == Kind::positional) {
            ++s.max_positional;
            if (p.default_ == nullptr)
                s.min_positional = s.max_positional;
        } else if (p.kind == Kind::var_positional) {
            s.var_positional = i;
        }
    }
    s.exact = s.var_positional == max_params && s.min_positional == s.max_positional;
    for (std::size_t i = 0; i < def.param_count; ++i)
        if (def.params[i].check != Check::none)
            s.checked = true;
    s.simple = !s.checked && s.max_positional == static_cast<Py_ssize_t>(def.param_count);
    return s;
}

// The function object. Invariants: `def`, `name`, `qualname`, `globals`, `names` and `defaults`
// are never null after construction; `names` and `defaults` have one entry per parameter.
struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;  // our entry point, found through __vectorcalloffset__
    const FunctionDef* def;                   // static signature table and body
    PyObject* name;                           // __name__: str
    PyObject* qualname;                       // __qualname__: str
    PyObject* module;                         // __module__: any object, or null (reads as None)
    PyObject* doc;                            // __doc__: any object, or null (reads as None)
    PyObject* dict;                           // __dict__: dict or null (made on first use)
    PyObject* annotations;  // __annotations__: dict or null (made from the table on read)
    PyObject* signature;    // __signature__: cached inspect.Signature, or null
    PyObject* globals;      // dict of the defining module: where bodies look names up
    PyObject* names;        // tuple: the interned name of each parameter
    PyObject* defaults;     // tuple: the default of each parameter, None where required
    PyObject* captured;     // tuple of closure values, or null
    PyObject* owner;        // the class whose namespace defined the function, or null
    PyObject* weakrefs;     // weak reference list, or null
    Shape shape;            // counts worked out from the table once, at creation
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* o) {
    return reinterpret_cast<FunctionObject*>(o);
}

// --- Argument messages (cold) -----------------------------------------------------------------

constexpr const char* positional_count_text =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char* incorrect_type_text =
    "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char* multiple_values_text = "%s() got multiple values for keyword argument '%U'";
constexpr const char* keyword_required_text = "%s() needs keyword-only argument %U";
constexpr const char* unexpected_keyword_text = "%s() got an unexpected keyword argument '%U'";
constexpr const char* keywords_strings_text = "%.200s() keywords must be strings";

[[gnu::cold]] void raise_positional_count(const char* func, bool exact, Py_ssize_t min,
                                          Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected = given < min ? min : max;
    const char* more_or_less = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, positional_count_text, func, more_or_less, expected,
                 expected == 1 ? "" : "s", given);
}

[[gnu::cold]] void raise_incorrect_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, incorrect_type_text, param, expected, Py_TYPE(got)->tp_name);
}

// `name` is interned, and two distinct interned strings never compare equal.
bool same_name(PyObject* key, PyObject* name) {
    if (key == name)
        return true;
    if (!PyUnicode_Check(key) || PyUnicode_CHECK_INTERNED(key))
        return false;
    return PyUnicode_Compare(key, name) == 0;
}

}  // namespace

PyObject* Name::intern() const {
    interned_ = PyUnicode_InternFromString(text_);
    if (interned_ == nullptr)
        throw py::error_already_set();
    return interned_;
}

// --- The binder ----------------------------------------------------------------------------------

// Binds one call's arguments to the table, in these steps:
//  1. too many positional arguments (no `*args`) fail at once;
//  2. positional arguments fill the positional parameters, extras go to `*args`;
//  3. without keywords, missing required positionals fail, then the first missing required
//     keyword-only parameter; defaults fill the rest;
//  4. with keywords, each parameter not filled by position is looked up by name, in order: a
//     missing required positional reports its own index as the count given, a missing required
//     keyword-only parameter is named;
//  5. keywords left over are either repeats of positional arguments or unknown;
//  6. exact-type checks, in parameter order.
struct Binder {
    static bool bind(FunctionObject* f, Call& call, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
        const FunctionDef& def = *f->def;
        const Shape& s = f->shape;
        call.function_ = reinterpret_cast<PyObject*>(f);
        call.globals_ = f->globals;
        PyObject* const* defaults = &PyTuple_GET_ITEM(f->defaults, 0);
        if (kwnames == nullptr && s.simple && nargs >= s.min_positional &&
            nargs <= s.max_positional) {
            for (Py_ssize_t i = 0; i < nargs; ++i)
                call.values_[i] = args[i];
            for (Py_ssize_t i = nargs; i < s.max_positional; ++i)
                call.values_[i] = defaults[i];
            return true;
        }
        const char* fname = def.name;

        if (nargs > s.max_positional && s.var_positional == max_params) {
            raise_positional_count(fname, s.exact, s.min_positional, s.max_positional, nargs);
            return false;
        }
        Py_ssize_t taken = nargs < s.max_positional ? nargs : s.max_positional;
        for (Py_ssize_t i = 0; i < taken; ++i)
            call.values_[i] = args[i];
        if (s.var_positional != max_params) {
            Py_ssize_t extra = nargs - taken;
            PyObject* tuple = PyTuple_New(extra);
            if (tuple == nullptr)
                return false;
            for (Py_ssize_t i = 0; i < extra; ++i) {
                Py_INCREF(args[taken + i]);
                PyTuple_SET_ITEM(tuple, i, args[taken + i]);
            }
            call.varargs_ = py::reinterpret_steal<py::object>(tuple);
            call.values_[s.var_positional] = tuple;
        }

        Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        if (nkw == 0 && nargs < s.min_positional) {
            raise_positional_count(fname, s.exact, s.min_positional, s.max_positional, nargs);
            return false;
        }
        Py_ssize_t kw_left = nkw;
        for (std::size_t i = static_cast<std::size_t>(taken); i < def.param_count; ++i) {
            const Param& p = def.params[i];
            if (p.kind == Kind::var_positional)
                continue;
            PyObject* value = nullptr;
            if (nkw > 0) {
                PyObject* pname = PyTuple_GET_ITEM(f->names, i);
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    if (same_name(PyTuple_GET_ITEM(kwnames, k), pname)) {
                        value = args[nargs + k];
                        --kw_left;
                        break;
                    }
                }
            }
            if (value == nullptr && p.default_ == nullptr) {
                if (p.kind == Kind::positional) {
                    raise_positional_count(fname, s.exact, s.min_positional, s.max_positional,
                                           static_cast<Py_ssize_t>(i));
                } else {
                    PyErr_Format(PyExc_TypeError, keyword_required_text, fname,
                                 PyTuple_GET_ITEM(f->names, i));
                }
                return false;
            }
            call.values_[i] = value != nullptr ? value : defaults[i];
        }
        if (kw_left > 0 && !reject_keywords(f, s, nargs, kwnames))
            return false;

        for (std::size_t i = 0; s.checked && i < def.param_count; ++i) {
            const Param& p = def.params[i];
            PyObject* v = call.values_[i];
            if (p.check == Check::none || v == Py_None)
                continue;
            if (p.check == Check::exact_str && !PyUnicode_CheckExact(v)) {
                raise_incorrect_type(p.name, "str", v);
                return false;
            }
            if (p.check == Check::exact_dict && !PyDict_CheckExact(v)) {
                raise_incorrect_type(p.name, "dict", v);
                return false;
            }
        }
        return true;
    }

    // Some keyword matched nothing still open: report the first such keyword.
    [[gnu::cold]] static bool reject_keywords(FunctionObject* f, const Shape& s, Py_ssize_t nargs,
                                              PyObject* kwnames) {
        const FunctionDef& def = *f->def;
        PyObject* names = f->names;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, keywords_strings_text, def.name);
                return false;
            }
            bool open = false, repeated = false;
            for (std::size_t i = 0; i < def.param_count; ++i) {
                if (def.params[i].kind == Kind::var_positional)
                    continue;
                if (!same_name(key, PyTuple_GET_ITEM(names, i)))
                    continue;
                bool by_position = def.params[i].kind == Kind::positional &&
                                   static_cast<Py_ssize_t>(i) < nargs &&
                                   static_cast<Py_ssize_t>(i) < s.max_positional;
                (by_position ? repeated : open) = true;
            }
            if (open)
                continue;
            PyErr_Format(PyExc_TypeError, repeated ? multiple_values_text : unexpected_keyword_text,
                         def.name, key);
            return false;
        }
        return true;  // unreachable while the counts agree
    }
};

// --- Call ----------------------------------------------------------------------------------------

py::object Call::global_fallback(const Name& name) const {
    if (PyErr_Occurred())
        throw py::error_already_set();
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.get());
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::handle Call::captured(std::size_t i) const {
    PyObject* captured = as_function(function_)->captured;
    if (captured == nullptr || static_cast<Py_ssize_t>(i) >= PyTuple_GET_SIZE(captured)) {
        PyErr_SetString(PyExc_SystemError, "compiled function has no such captured value");
        throw py::error_already_set();
    }
    return PyTuple_GET_ITEM(captured, i);
}

py::object Call::super_(py::handle self) const {
    PyObject* owner = as_function(function_)->owner;
    if (owner == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        throw py::error_already_set();
    }
    return invoke(reinterpret_cast<PyObject*>(&PySuper_Type), owner, self);
}

// --- The function type ---------------------------------------------------------------------------

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(self);
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject* result = nullptr;
    try {
        Call call;
        if (Binder::bind(f, call, args, PyVectorcall_NARGS(nargsf), kwnames)) {
            py::object r = f->def->body(call);
            result = r ? r.release().ptr() : Py_NewRef(Py_None);
        }
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a compiled function");
    }
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->globals);
    Py_VISIT(f->names);
    Py_VISIT(f->defaults);
    Py_VISIT(f->captured);
    Py_VISIT(f->owner);
    return 0;
}

// Drops whatever may take part in a cycle. The name, qualname, globals, names and defaults stay:
// the binder and the repr rely on them until dealloc.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->owner);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->names);
    Py_CLEAR(f->defaults);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// A function stored in a class binds to the instance, as a Python function does.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* annotations_of(const FunctionDef& def) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr)
        return nullptr;
    auto put = [dict](const char* key, const char* text) {
        PyObject* value = PyUnicode_FromString(text);
        int r = value == nullptr ? -1 : PyDict_SetItemString(dict, key, value);
        Py_XDECREF(value);
        return r;
    };
    for (std::size_t i = 0; i < def.param_count; ++i) {
        const Param& p = def.params[i];
        if (p.annotation != nullptr && put(p.name, p.annotation) < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    if (def.returns != nullptr && put("return", def.returns) < 0) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = annotations_of(*f->def);
        if (f->annotations == nullptr)
            return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.Signature built from the table, so help() and inspect show the real parameters.
py::object signature_of(FunctionObject* f) {
    const FunctionDef& def = *f->def;
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::list params;
    for (std::size_t i = 0; i < def.param_count; ++i) {
        const Param& p = def.params[i];
        const char* kind = p.kind == Kind::positional       ? "POSITIONAL_OR_KEYWORD"
                           : p.kind == Kind::var_positional ? "VAR_POSITIONAL"
                                                            : "KEYWORD_ONLY";
        py::dict kwargs;
        if (p.default_ != nullptr)
            kwargs["default"] = py::reinterpret_borrow<py::object>(
                PyTuple_GET_ITEM(f->defaults, static_cast<Py_ssize_t>(i)));
        if (p.annotation != nullptr)
            kwargs["annotation"] = py::str(p.annotation);
        params.append(parameter(p.name, parameter.attr(kind), **kwargs));
    }
    py::dict kwargs;
    if (def.returns != nullptr)
        kwargs["return_annotation"] = py::str(def.returns);
    return inspect.attr("Signature")(params, **kwargs);
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->signature == nullptr) {
        try {
            f->signature = signature_of(f).release().ptr();
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}
int set_signature(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->signature, Py_XNewRef(value));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->globals);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(function_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "plumo.compiled_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

// A default's Python literal ("None", "True", "0.5") as an object.
py::object default_value(const char* literal) {
    static Name literal_eval_name("literal_eval");
    if (std::strcmp(literal, "None") == 0)
        return py::none();
    if (std::strcmp(literal, "True") == 0)
        return py::bool_(true);
    if (std::strcmp(literal, "False") == 0)
        return py::bool_(false);
    return invoke(getattr(py::module_::import("ast"), literal_eval_name), py::str(literal));
}

py::object new_function(PyObject* globals, const FunctionDef& def, PyObject* captured) {
    py::tuple names(def.param_count), defaults(def.param_count);
    for (std::size_t i = 0; i < def.param_count; ++i) {
        const Param& p = def.params[i];
        names[i] = steal(PyUnicode_InternFromString(p.name));
        defaults[i] = p.default_ != nullptr ? default_value(p.default_) : py::none();
    }
    py::str name(def.name), qualname(def.qualname);
    py::object doc = def.doc != nullptr ? py::object(py::str(def.doc)) : py::object(py::none());
    PyObject* module = PyDict_GetItemString(globals, "__name__");

    auto* f = PyObject_GC_New(FunctionObject, function_type);
    if (f == nullptr)
        throw py::error_already_set();
    // Nothing below may fail: dealloc expects every required field set.
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = Py_XNewRef(module);
    f->doc = doc.release().ptr();
    f->dict = nullptr;
    f->annotations = nullptr;
    f->signature = nullptr;
    f->globals = Py_NewRef(globals);
    f->names = names.release().ptr();
    f->defaults = defaults.release().ptr();
    f->captured = Py_XNewRef(captured);
    f->owner = nullptr;
    f->weakrefs = nullptr;
    f->shape = shape_of(def);
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

bool is_compiled_function(PyObject* o) {
    return function_type != nullptr && Py_IS_TYPE(o, function_type);
}

// Tell the compiled functions in a new class namespace which class they belong to.
void adopt(PyObject* cls, py::handle member) {
    static Name func("__func__"), fget("fget"), fset("fset"), fdel("fdel");
    const Name* wrapped[3] = {};
    if (PyObject_TypeCheck(member.ptr(), &PyStaticMethod_Type) ||
        PyObject_TypeCheck(member.ptr(), &PyClassMethod_Type)) {
        wrapped[0] = &func;
    } else if (PyObject_TypeCheck(member.ptr(), &PyProperty_Type)) {
        wrapped[0] = &fget, wrapped[1] = &fset, wrapped[2] = &fdel;
    }
    py::object candidates[4] = {py::reinterpret_borrow<py::object>(member)};
    for (int i = 0; i < 3 && wrapped[i] != nullptr; ++i)
        candidates[i + 1] = getattr(member, *wrapped[i]);
    for (const py::object& f : candidates) {
        if (f && is_compiled_function(f.ptr()))
            Py_XSETREF(as_function(f.ptr())->owner, Py_NewRef(cls));
    }
}

py::tuple tuple_of(std::initializer_list<py::handle> values) {
    py::tuple tuple(values.size());
    std::size_t i = 0;
    for (py::handle h : values)
        tuple[i++] = h;
    return tuple;
}

}  // namespace

py::object Call::closure(const FunctionDef& def, std::initializer_list<py::handle> captured) const {
    return new_function(as_function(function_)->globals, def, tuple_of(captured).ptr());
}

void init_compiled_functions() {
    if (function_type != nullptr)
        return;
    function_type =
        reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&function_spec)).release().ptr());
}

py::object make_function(py::module_ module, const FunctionDef& def) {
    return new_function(PyModule_GetDict(module.ptr()), def, nullptr);
}

py::object make_function(py::module_ module, const FunctionDef& def,
                         std::initializer_list<py::handle> captured) {
    return new_function(PyModule_GetDict(module.ptr()), def, tuple_of(captured).ptr());
}

py::object make_property(py::module_ module, const FunctionDef& getter) {
    py::object getter_function = make_function(module, getter);
    PyObject* made =
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter_function.ptr());
    if (made == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

py::object make_class(py::module_ module, const char* name, py::tuple bases, const char* doc,
                      std::initializer_list<Member> members) {
    py::object prepared = py::module_::import("types").attr("prepare_class")(name, bases);
    py::object meta = prepared[py::int_(0)];
    py::object ns = prepared[py::int_(1)];
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = name;
    if (doc != nullptr)
        ns["__doc__"] = doc;
    for (const Member& m : members)
        ns[m.first] = m.second;
    py::object cls = meta(name, bases, ns);
    for (const Member& m : members)
        adopt(cls.ptr(), m.second);
    return cls;
}

py::object import_from(const char* module, const char* name, py::module_ importer, int level) {
    py::object globals = importer ? py::object(importer.attr("__dict__")) : py::object(py::none());
    py::tuple fromlist = py::make_tuple(name);
    py::object imported = steal(PyImport_ImportModuleLevel(
        module, globals.is_none() ? nullptr : globals.ptr(), nullptr, fromlist.ptr(), level));
    PyObject* value = PyObject_GetAttrString(imported.ptr(), name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                     py::str(imported.attr("__name__")).cast<std::string>().c_str());
    }
    return steal(value);
}

py::object invoke_star(py::handle f, std::initializer_list<py::handle> leading, py::handle rest) {
    const Py_ssize_t extra = PyTuple_GET_SIZE(rest.ptr());
    std::vector<PyObject*> argv;
    argv.reserve(1 + leading.size() + static_cast<std::size_t>(extra));
    argv.push_back(nullptr);  // the slot PY_VECTORCALL_ARGUMENTS_OFFSET lends to the callee
    for (py::handle value : leading)
        argv.push_back(value.ptr());
    for (Py_ssize_t i = 0; i < extra; ++i)
        argv.push_back(PyTuple_GET_ITEM(rest.ptr(), i));
    // The tuple owns the items it lends us; it outlives the call.
    return steal(PyObject_Vectorcall(f.ptr(), argv.data() + 1,
                                     (argv.size() - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::object invoke_keywords(py::handle f, std::initializer_list<py::handle> positional,
                           std::initializer_list<Keyword> keywords) {
    py::object names = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);  // the slot PY_VECTORCALL_ARGUMENTS_OFFSET lends to the callee
    for (py::handle value : positional)
        argv.push_back(value.ptr());
    Py_ssize_t i = 0;
    for (const Keyword& k : keywords) {
        PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(k.name.get()));
        argv.push_back(k.value.ptr());
    }
    return steal(PyObject_Vectorcall(
        f.ptr(), argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

py::object format(py::handle o) {
    if (PyUnicode_CheckExact(o.ptr()))
        return py::reinterpret_borrow<py::object>(o);
    return steal(PyObject_Format(o.ptr(), nullptr));
}

template <std::size_t N>
std::array<py::object, N> unpack(py::handle o) {
    std::array<py::object, N> out;
    if (PyTuple_CheckExact(o.ptr()) && PyTuple_GET_SIZE(o.ptr()) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i)
            out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(o.ptr(), i));
        return out;
    }
    PyObject* it = PyObject_GetIter(o.ptr());
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o.ptr())->tp_iter == nullptr &&
            !PySequence_Check(o.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(o.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(it);
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyIter_Next(it);
        if (item == nullptr) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zu, got %zu)", N, i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return out;
}

template std::array<py::object, 2> unpack<2>(py::handle);
template std::array<py::object, 3> unpack<3>(py::handle);

void raise(py::handle exc) {
    PyObject* o = exc.ptr();
    if (PyExceptionInstance_Check(o)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
    } else if (PyExceptionClass_Check(o)) {
        PyErr_SetNone(o);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw py::error_already_set();
}

void raise(py::handle exc_class, py::handle arg) {
    raise(invoke(exc_class, arg));
}

}  // namespace plumo
