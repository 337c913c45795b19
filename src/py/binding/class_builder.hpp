// Declarative Python classes: a class is declared once, with its
// constructor, methods, attributes and slots, and the builder turns C++
// callables into CPython entry points.  A class file reads as a table:
//
//   PyTypeObject* PyClass<StateVec>::type() {
//       static PyTypeObject* tp = [] {
//           static ClassBuilder<StateVec> b("Complex state vector used for randomized circuit evaluation.");
//           b.constructor<&sv_new>({"re", "im"})                        // StateVec(re, im)
//               .static_method<&sv_random>("random", "Creates ...", {"num_qubits"})  // random(num_qubits)
//               .method<&StateVec::nqubits>("nqubits", "Returns qubit count.")        // nqubits($self)
//               .str<&StateVec::to_string>()
//               .eq();                                                  // == and != by operator==
//           return b.build();
//       }();
//       return tp;
//   }
//
// Attributes bind the same way: `getter<&Circ::perm>("perm", doc)` reads a
// data member, `property` pairs a getter with a setter, `field` makes a data
// member read-write.
//
// A bound callable is a free function, a member function (its object is
// `self`), a data member, or a captureless lambda.  A function binds as one
// method only: its entry point keeps that method's signature, so binding it
// again (under another name or in another class) panics when the class is
// built, naming both methods.  Each docstring gets its
// text signature line ("name($self, n)\n--\n\n") from the method's name,
// kind and parameter list; "name=default" marks a parameter that may be
// left out.  Parameter conversions follow the callable's C++ signature:
//   const T& / T&   of an exposed class: the object, borrowed shared / exclusive
//   T (exposed)     a copy taken under a shared borrow
//   std::optional<T> a parameter with a default (absent -> nullopt)
//   PyObject*       the object itself, borrowed for the call
//   anything else   FromPy<T>
// For methods, the first parameter is `self` (const T& or T&).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "base/content_hash.hpp"
#include "binding/convert.hpp"
#include "binding/signature.hpp"

namespace tpy {

// ---------------------------------------------------------------------------
// Argument holders.

template <class P>
struct Arg {
    using V = std::remove_cvref_t<P>;
    explicit Arg(PyObject* o) : v(FromPy<V>::convert(o)) {}
    V&& get() { return std::move(v); }
    V v;
};

template <Exposed T>
struct Arg<const T&> {
    explicit Arg(PyObject* o) : s((require(o), o)) {}
    static void require(PyObject* o) {
        if (!is_instance<T>(o)) raise_conversion(o, PyClass<T>::name);
    }
    const T& get() { return s.get(); }
    Shared<T> s;
};

template <Exposed T>
struct Arg<T&> {
    explicit Arg(PyObject* o) : s((Arg<const T&>::require(o), o)) {}
    T& get() { return s.get(); }
    Exclusive<T> s;
};

template <class T>
struct Arg<std::optional<T>> {
    explicit Arg(PyObject* o) {
        if (o) v = FromPy<T>::convert(o);
    }
    std::optional<T>&& get() { return std::move(v); }
    std::optional<T> v;
};

template <>
struct Arg<PyObject*> {
    explicit Arg(PyObject* o) : o(o) {}
    PyObject* get() { return o; }
    PyObject* o;
};

template <class P>
Arg<P> make_arg(PyObject* o, const char* name) {
    try {
        return Arg<P>(o);
    } catch (const PyErrSet&) {
        prefix_argument_error(name);
        throw;
    }
}

template <class P>
struct SelfArg;
template <Exposed T>
struct SelfArg<const T&> {
    using Class = T;
    explicit SelfArg(PyObject* o) : s(o) {}
    const T& get() { return s.get(); }
    Shared<T> s;
};
template <Exposed T>
struct SelfArg<T&> {
    using Class = T;
    explicit SelfArg(PyObject* o) : s(o) {}
    T& get() { return s.get(); }
    Exclusive<T> s;
};

// ---------------------------------------------------------------------------
// Function traits.  A bound callable is a free function, a member function
// (its object is the first parameter), a data member (read as a getter) or a
// captureless lambda.

template <class R, class... A>
struct Callable {
    using Ret = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <class F>
struct CallableOf;
template <class R, class... A>
struct CallableOf<R (*)(A...)> : Callable<R, A...> {};
template <class R, class... A>
struct CallableOf<R (*)(A...) noexcept> : Callable<R, A...> {};
template <class R, class C, class... A>
struct CallableOf<R (C::*)(A...)> : Callable<R, C&, A...> {};
template <class R, class C, class... A>
struct CallableOf<R (C::*)(A...) noexcept> : Callable<R, C&, A...> {};
template <class R, class C, class... A>
struct CallableOf<R (C::*)(A...) const> : Callable<R, const C&, A...> {};
template <class R, class C, class... A>
struct CallableOf<R (C::*)(A...) const noexcept> : Callable<R, const C&, A...> {};
template <class M, class C>
    requires(!std::is_function_v<M>)
struct CallableOf<M C::*> : Callable<const M&, const C&> {};
// A lambda: the signature of its call operator, without the closure object.
template <class L, class Args>
struct LambdaCallable;
template <class L, class Closure, class... A>
struct LambdaCallable<L, std::tuple<Closure, A...>> : Callable<typename CallableOf<decltype(&L::operator())>::Ret, A...> {};
template <class L>
    requires requires { &L::operator(); }
struct CallableOf<L> : LambdaCallable<L, typename CallableOf<decltype(&L::operator())>::Args> {};

template <auto Fn>
struct FnInfo : CallableOf<std::remove_cv_t<decltype(Fn)>> {};

// Calls the bound callable, whatever its kind.
template <auto Fn, class... A>
decltype(auto) call_bound(A&&... a) {
    return std::invoke(Fn, std::forward<A>(a)...);
}

template <class R>
PyObject* result_to_py(auto&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_py(call());
    }
}

// The holder of `self`: a borrow of the object for a method, nothing for a
// static method.
struct NoSelf {
    explicit NoSelf(PyObject*) {}
};
template <bool HasSelf, class Args>
struct SelfOf {
    using type = NoSelf;
};
template <class Args>
struct SelfOf<true, Args> {
    using type = SelfArg<std::tuple_element_t<0, Args>>;
};

// Calls Fn with the converted arguments `slots` (after an optional self).
template <auto Fn, bool HasSelf>
struct Invoker {
    using Info = FnInfo<Fn>;
    static_assert(!HasSelf || Info::arity >= 1, "a method takes `self` first");
    using Args = typename Info::Args;
    static constexpr std::size_t nparams = Info::arity - (HasSelf ? 1 : 0);

    static PyObject* run(PyObject* self, PyObject** slots, const Signature& sig) {
        return run_impl(self, slots, sig, std::make_index_sequence<nparams>{});
    }

private:
    template <std::size_t I>
    using ParamT = std::tuple_element_t<I + (HasSelf ? 1 : 0), Args>;

    // `self` is borrowed before any argument is converted, and released after.
    template <std::size_t... I>
    static PyObject* run_impl(PyObject* self, PyObject** slots, const Signature& sig, std::index_sequence<I...>) {
        using R = typename Info::Ret;
        typename SelfOf<HasSelf, Args>::type s(self);
        std::tuple<Arg<ParamT<I>>...> held{make_arg<ParamT<I>>(slots[I], sig.params[I])...};
        (void)held;
        return result_to_py<R>([&]() -> R {
            if constexpr (HasSelf)
                return call_bound<Fn>(s.get(), std::get<I>(held).get()...);
            else
                return call_bound<Fn>(std::get<I>(held).get()...);
        });
    }
};

template <auto Fn, bool HasSelf>
struct MethodEntry {
    static inline Signature sig;
    // "Class.method" once the function is bound; empty before.
    static inline std::string bound_as;

    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded<PyObject*>(nullptr, [&] {
            PyObject* slots[kMaxParams + 1] = {};
            sig.bind_fast(args, nargs, kwnames, slots);
            return Invoker<Fn, HasSelf>::run(self, slots, sig);
        });
    }
    static PyObject* noargs(PyObject* self, PyObject*) {
        return guarded<PyObject*>(nullptr, [&] { return Invoker<Fn, HasSelf>::run(self, nullptr, sig); });
    }
};

template <auto Fn, class T>
struct CtorEntry {
    static inline Signature sig;
    static PyObject* tp_new(PyTypeObject* sub, PyObject* args, PyObject* kwargs) {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            PyObject* slots[kMaxParams + 1] = {};
            sig.bind_tuple(args, kwargs, slots);
            return construct(sub, slots, std::make_index_sequence<FnInfo<Fn>::arity>{});
        });
    }

private:
    template <std::size_t... I>
    static PyObject* construct(PyTypeObject* sub, PyObject** slots, std::index_sequence<I...>) {
        using Args = typename FnInfo<Fn>::Args;
        std::tuple<Arg<std::tuple_element_t<I, Args>>...> held{
            make_arg<std::tuple_element_t<I, Args>>(slots[I], sig.params[I])...};
        (void)held;
        (void)slots;
        return wrap_as<T>(sub, call_bound<Fn>(std::get<I>(held).get()...));
    }
};

// Functions called with `self` alone (getters, __str__, __repr__)
// must take exactly that: the slot has no arguments to give them.
template <auto Fn>
inline constexpr bool takes_self_only = FnInfo<Fn>::arity == 1;

template <auto Fn>
struct GetterEntry {
    static_assert(takes_self_only<Fn>, "a getter takes `self` and nothing else");
    static PyObject* get(PyObject* self, void*) {
        return guarded<PyObject*>(nullptr, [&] { return Invoker<Fn, true>::run(self, nullptr, Signature{}); });
    }
};

template <auto Fn>
struct SetterEntry {
    static_assert(FnInfo<Fn>::arity == 2, "a setter takes `self` and the new value");
    using V = std::tuple_element_t<1, typename FnInfo<Fn>::Args>;
    static int set(PyObject* self, PyObject* value, void* closure) {
        return guarded<int>(-1, [&] {
            if (!value) raise(PyExc_AttributeError, "can't delete attribute");
            SelfArg<std::tuple_element_t<0, typename FnInfo<Fn>::Args>> s(self);
            auto arg = make_arg<V>(value, static_cast<const char*>(closure));
            call_bound<Fn>(s.get(), arg.get());
            return 0;
        });
    }
};

// Stores a new value into a data member: the setter of `field`.
template <auto Member>
struct MemberStore;
template <class C, class M, M C::* Member>
struct MemberStore<Member> {
    static constexpr auto set = [](C& c, M v) { c.*Member = std::move(v); };
};

// ---------------------------------------------------------------------------
// Slots.

template <auto Fn>
PyObject* str_slot(PyObject* self) {
    static_assert(takes_self_only<Fn>, "__str__ and __repr__ take `self` and nothing else");
    return guarded<PyObject*>(nullptr, [&] { return Invoker<Fn, true>::run(self, nullptr, Signature{}); });
}

// Content hash as a Python hash: the signed reading, -1 becoming -2.
inline Py_hash_t python_hash(std::uint64_t h) {
    auto v = static_cast<Py_hash_t>(static_cast<std::int64_t>(h));
    return v == -1 ? -2 : v;
}

template <auto Fn>
Py_hash_t hash_slot(PyObject* self) {
    return guarded<Py_hash_t>(-1, [&] {
        SelfArg<std::tuple_element_t<0, typename FnInfo<Fn>::Args>> s(self);
        return python_hash(call_bound<Fn>(s.get()));
    });
}

// The content hash of a value that feeds itself to a ContentHasher.
template <class T>
std::uint64_t content_hash_of(const T& v) {
    tsl::ContentHasher h;
    v.hash(h);
    return h.finish();
}

// == and != through Eq(const T&, const T&); everything else NotImplemented.
template <class T, auto Eq>
PyObject* eq_slot(PyObject* a, PyObject* b, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !is_instance<T>(a) || !is_instance<T>(b)) Py_RETURN_NOTIMPLEMENTED;
        Shared<T> x(a);
        Shared<T> y(b);
        const bool eq = Eq(x.get(), y.get());
        return to_py(op == Py_EQ ? eq : !eq);
    });
}

// A class with an attribute dictionary keeps it in a pointer slot right
// after its value; the garbage collector sees it, so cycles through the
// dictionary are reclaimed.
template <Exposed T>
PyObject** dict_slot(PyObject* self) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(PyObj<T>));
}
template <Exposed T>
int traverse_dict(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(*dict_slot<T>(self));
    Py_VISIT(Py_TYPE(self));
    return 0;
}
template <Exposed T>
int clear_dict(PyObject* self) {
    Py_CLEAR(*dict_slot<T>(self));
    return 0;
}
template <Exposed T>
void dealloc_with_dict(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(*dict_slot<T>(self));
    dealloc<T>(self);
}

// ---------------------------------------------------------------------------

// Parameters are written as they read in the text signature: "name", or
// "name=default" for one that may be left out (only trailing ones may).  The
// builder writes each docstring's signature line from the method's name, its
// kind and these parameters, so the line cannot disagree with the binding.
template <Exposed T>
class ClassBuilder {
public:
    // `doc` is the class description.  A class with a constructor gets the
    // constructor's text signature in front of it.
    explicit ClassBuilder(const char* doc) : doc_(doc) {}

    template <auto Fn>
    ClassBuilder& constructor(std::vector<const char*> params) {
        repeat_failure();
        static_assert(FnInfo<Fn>::arity <= kMaxParams);
        ctor_params_ = signature_params(params, false);
        CtorEntry<Fn, T>::sig = make_sig("__new__", std::move(params), FnInfo<Fn>::arity);
        slots_.push_back({Py_tp_new, reinterpret_cast<void*>(&CtorEntry<Fn, T>::tp_new)});
        has_ctor_ = true;
        return *this;
    }

    template <auto Fn>
    ClassBuilder& method(const char* name, const char* doc, std::vector<const char*> params = {}) {
        return add_method<Fn, true>(name, doc, std::move(params), 0);
    }

    template <auto Fn>
    ClassBuilder& static_method(const char* name, const char* doc, std::vector<const char*> params = {}) {
        return add_method<Fn, false>(name, doc, std::move(params), METH_STATIC);
    }

    template <auto Get>
    ClassBuilder& getter(const char* name, const char* doc) {
        getsets_.push_back({name, &GetterEntry<Get>::get, nullptr, doc, nullptr});
        return *this;
    }

    template <auto Get, auto Set>
    ClassBuilder& property(const char* name, const char* doc) {
        getsets_.push_back({name, &GetterEntry<Get>::get, &SetterEntry<Set>::set, doc,
                            const_cast<char*>(name)});
        return *this;
    }

    // A data member as a read-write attribute.
    template <auto Member>
    ClassBuilder& field(const char* name, const char* doc) {
        return property<Member, MemberStore<Member>::set>(name, doc);
    }

    template <auto Fn>
    ClassBuilder& str() {
        return slot(Py_tp_str, reinterpret_cast<void*>(&str_slot<Fn>));
    }
    template <auto Fn>
    ClassBuilder& repr() {
        return slot(Py_tp_repr, reinterpret_cast<void*>(&str_slot<Fn>));
    }
    template <auto Fn>
    ClassBuilder& hash() {
        return slot(Py_tp_hash, reinterpret_cast<void*>(&hash_slot<Fn>));
    }
    // __hash__ from the value's content hash.
    ClassBuilder& content_hash() { return hash<&content_hash_of<T>>(); }
    // == and != through the value's own operator==.
    ClassBuilder& eq() {
        return slot(Py_tp_richcompare,
                    reinterpret_cast<void*>(&eq_slot<T, [](const T& a, const T& b) { return a == b; }>));
    }
    ClassBuilder& slot(int id, void* fn) {
        slots_.push_back({id, fn});
        return *this;
    }
    ClassBuilder& flags(unsigned long f) {
        extra_flags_ |= f;
        return *this;
    }
    // Gives every object an attribute dictionary, held in a pointer slot
    // after the value (tp_dictoffset) and released with the object.
    ClassBuilder& instance_dict() {
        instance_dict_ = true;
        return *this;
    }

    // Creates the type object; the builder must outlive it (keep it static).
    PyTypeObject* build() {
        repeat_failure();
        if (has_ctor_) doc_ = keep(std::string(PyClass<T>::name) + "(" + ctor_params_ + ")\n--\n\n" + doc_);
        methods_.push_back({nullptr, nullptr, 0, nullptr});
        getsets_.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        int basicsize = static_cast<int>(sizeof(PyObj<T>));
        if (instance_dict_) {
            members_[0] = {"__dictoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(sizeof(PyObj<T>)), Py_READONLY,
                           nullptr};
            members_[1] = {nullptr, 0, 0, 0, nullptr};
            basicsize += static_cast<int>(sizeof(PyObject*));
            slots_.push_back({Py_tp_members, members_});
            getsets_.insert(getsets_.end() - 1, {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                                 nullptr, nullptr});
            slots_.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_with_dict<T>)});
            slots_.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse_dict<T>)});
            slots_.push_back({Py_tp_clear, reinterpret_cast<void*>(&clear_dict<T>)});
            extra_flags_ |= Py_TPFLAGS_HAVE_GC;
        } else {
            slots_.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
        }
        slots_.push_back({Py_tp_doc, const_cast<char*>(doc_)});
        if (methods_.size() > 1) slots_.push_back({Py_tp_methods, methods_.data()});
        if (getsets_.size() > 1) slots_.push_back({Py_tp_getset, getsets_.data()});
        slots_.push_back({0, nullptr});
        name_ = std::string("builtins.") + PyClass<T>::name;
        unsigned long fl = Py_TPFLAGS_DEFAULT | extra_flags_;
        if (!has_ctor_) fl |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
        spec_ = PyType_Spec{name_.c_str(), basicsize, 0, static_cast<unsigned int>(fl),
                            slots_.data()};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_));
    }

private:
    // A string that lives as long as the builder (and so the type).
    const char* keep(std::string text) { return texts_.emplace_back(std::move(text)).c_str(); }

    // A binding mistake panics.  The class is then built again on its next
    // use, with this builder already half filled: it panics again with the
    // same text.
    [[noreturn]] void fail(std::string text) {
        failure_ = text;
        throw tsl::Panic(std::move(text));
    }
    void repeat_failure() {
        if (!failure_.empty()) throw tsl::Panic(failure_);
    }

    // The parameter list of a text signature, `$self` first for an instance method.
    static std::string signature_params(const std::vector<const char*>& params, bool with_self) {
        std::string out = with_self ? "$self" : "";
        for (const char* p : params) {
            if (!out.empty()) out += ", ";
            out += p;
        }
        return out;
    }

    // The binding's view of the parameters: names without their defaults,
    // and how many leading ones are required.
    Signature make_sig(const char* method, std::vector<const char*> params, std::size_t arity) {
        if (params.size() != arity) fail(std::string("binding of ") + PyClass<T>::name + "." + method +
                                         " names the wrong number of parameters");
        std::size_t required = params.size();
        for (std::size_t i = 0; i < params.size(); ++i) {
            const std::string_view p = params[i];
            const std::size_t eq = p.find('=');
            if (eq == std::string_view::npos) {
                if (required != params.size())
                    fail(std::string("binding of ") + PyClass<T>::name + "." + method +
                         " has a required parameter after a default");
                continue;
            }
            if (required == params.size()) required = i;
            params[i] = keep(std::string(p.substr(0, eq)));
        }
        return Signature(PyClass<T>::name, method, std::move(params), required);
    }

    template <auto Fn, bool HasSelf>
    ClassBuilder& add_method(const char* name, const char* doc, std::vector<const char*> params, int extra) {
        using Entry = MethodEntry<Fn, HasSelf>;
        constexpr std::size_t arity = FnInfo<Fn>::arity - (HasSelf ? 1 : 0);
        static_assert(arity <= kMaxParams);
        repeat_failure();
        const std::string full_name = std::string(PyClass<T>::name) + "." + name;
        if (!Entry::bound_as.empty())
            fail("binding of " + full_name + " binds the function already bound as " + Entry::bound_as);
        Entry::bound_as = full_name;
        const char* full_doc = keep(std::string(name) + "(" + signature_params(params, HasSelf) + ")\n--\n\n" +
                                    (doc ? doc : ""));
        Entry::sig = make_sig(name, std::move(params), arity);
        if (HasSelf && arity == 0)
            methods_.push_back(
                {name, reinterpret_cast<PyCFunction>(&Entry::noargs), METH_NOARGS | extra, full_doc});
        else
            methods_.push_back({name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Entry::fast)),
                                METH_FASTCALL | METH_KEYWORDS | extra, full_doc});
        return *this;
    }

    const char* doc_;
    std::string failure_;
    std::deque<std::string> texts_;
    std::string ctor_params_;
    bool has_ctor_ = false;
    unsigned long extra_flags_ = 0;
    bool instance_dict_ = false;
    PyMemberDef members_[2] = {};
    std::string name_;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
    std::vector<PyType_Slot> slots_;
    PyType_Spec spec_{};
};

}  // namespace tpy
