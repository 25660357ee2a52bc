// A copy-on-change walk through the dicts, lists and tuples that a value holds, for what is
// written out of a value without changing it: the secrets masked in a printed platform answer,
// the numbers JSON has no form for in a log event.
#pragma once

#include <cstdint>

#include <nanobind/nanobind.h>

namespace norvox {

namespace nb = nanobind;

/// Keeps the interpreter's recursion limit over a recursive walk of nested containers.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) {
        if (Py_EnterRecursiveCall(where) != 0)
            throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

/// `value` with `rules` applied at every depth of the dicts, lists and tuples it holds:
/// - `rules.leaf(v)`: what stands for a value that is none of those (`v` itself to keep it);
/// - `rules.key(k)`: what stands for a dict key;
/// - `rules.member(k, v)`: what stands outright for the value of a dict member, or an invalid
///   object to walk `v` as any other value;
/// - `rules.where`: the text of a recursion error (" while ...").
/// A container in which nothing changed is kept itself; one in which something did is copied
/// (a dict, list or tuple, whatever subclass it was), so the caller's objects stay as they are.
/// Each container is read from a snapshot of its members, which another thread cannot change
/// under the walk. `copies` maps the id of each container met to what stands for it, so a
/// container met twice is walked once and shared and circular references keep their shape.
template <typename Rules> nb::object transformed(nb::handle value, const Rules &rules, nb::dict &copies) {
    PyObject *object = value.ptr();
    const bool is_map = PyDict_Check(object), is_tuple = PyTuple_Check(object);
    if (!is_map && !is_tuple && !PyList_Check(object))
        return rules.leaf(value);
    nb::int_ id(reinterpret_cast<std::uintptr_t>(object));
    if (copies.contains(id))
        return copies[id];
    RecursionGuard guard(rules.where);
    nb::object members = nb::steal(is_map ? PyDict_Items(object) : PySequence_List(object));
    if (!members.is_valid())
        throw nb::python_error();

    // While the walk is inside it, a dict or list stands for itself by its copy, so that a
    // reference back to it reaches the copy; a tuple can only be made once its items are known.
    nb::dict map_copy;
    nb::list list_copy;
    if (is_map)
        copies[id] = map_copy;
    else
        copies[id] = is_tuple ? nb::object(nb::borrow(value)) : nb::object(list_copy);
    bool changed = false;
    for (nb::handle member : members) {
        if (is_map) {
            nb::handle key(PyTuple_GET_ITEM(member.ptr(), 0)), item(PyTuple_GET_ITEM(member.ptr(), 1));
            nb::object kept_key = rules.key(key);
            nb::object kept = rules.member(key, item);
            if (!kept.is_valid())
                kept = transformed(item, rules, copies);
            changed = changed || !kept_key.is(key) || !kept.is(item);
            map_copy[kept_key] = kept;
        } else {
            nb::object kept = transformed(member, rules, copies);
            changed = changed || !kept.is(member);
            list_copy.append(kept);
        }
    }

    nb::object result = nb::borrow(value);
    if (changed && is_map)
        result = map_copy;
    else if (changed && is_tuple)
        result = nb::steal(PyList_AsTuple(list_copy.ptr()));
    else if (changed)
        result = list_copy;
    if (!result.is_valid())
        throw nb::python_error();
    copies[id] = result;
    return result;
}

} // namespace norvox
