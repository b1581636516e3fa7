// viz/compiled/graph.cpp: reading a compiled graph (nodes, assignments, cross-core edges)
// and the colours of nodes and cores, shared by both views.
#include "compiled.h"

namespace nivra::compiled {

// type(obj).__name__
Ref type_name_of(PyObject* obj) { return attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), kDunderName); }

// mapping.get(key, default): a dict directly, anything else through its get method.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Ref::borrow(v);
        throw_if_error();
        return Ref::borrow(fallback);
    }
    return call_method(mapping, kGet, key, fallback);
}

// `hasattr(obj, name) and obj.name`: the attribute is read twice, as written.
bool has_truthy(PyObject* obj, const Name& name) {
    if (!has_attr(obj, name.get())) return false;
    Ref value = attr(obj, name);
    return truthy(value.get());
}

// `name not in assignments`, where assignments is a dict or None.
bool assigned(PyObject* assignments, PyObject* name) {
    if (assignments == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    return check(PyDict_Contains(assignments, name)) != 0;
}

// _node_type_color(node), through the module.
Ref node_type_color_of(Call& c, PyObject* node) {
    Ref fn = c.global(kNodeTypeColor);
    return call(fn.get(), node);
}

// CORE_BOUNDARY_COLORS[core_id % len(CORE_BOUNDARY_COLORS)]
Ref core_color(Call& c, PyObject* core_id) {
    Ref colors = c.global(kCoreBoundaryColors);
    const Py_ssize_t n = PyObject_Size(colors.get());
    if (n < 0) throw PythonError{};
    Ref len = integer(n);
    Ref index = new_ref(PyNumber_Remainder(core_id, len.get()));
    return new_ref(PyObject_GetItem(colors.get(), index.get()));
}

// The set of (source, target) tuples of the partition metadata's "cross_core_edges".
Ref cross_core_pairs(PyObject* graph) {
    Ref pairs = new_ref(PySet_New(nullptr));
    if (!has_truthy(graph, kPartitionMetadata)) return pairs;
    Ref metadata = attr(graph, kPartitionMetadata);
    Ref empty = new_list();
    Ref edges = call_method(metadata.get(), kGet, kCrossCoreEdges.get(), empty.get());
    each(edges.get(), [&](PyObject* edge) {
        Ref st[2];
        unpack(edge, st, 2);
        Ref pair = new_ref(PyTuple_Pack(2, st[0].get(), st[1].get()));
        check(PySet_Add(pairs.get(), pair.get()));
    });
    return pairs;
}

// sorted(iterable): a new list, sorted in place as the builtin does.
Ref sorted_list(PyObject* iterable) {
    Ref list = new_ref(PySequence_List(iterable));
    check(PyList_Sort(list.get()));
    return list;
}

// sorted(d.items()) for one of our own dicts: a list of (key, value) tuples.
Ref sorted_items(PyObject* dict) {
    Ref items = new_ref(PyDict_Items(dict));
    check(PyList_Sort(items.get()));
    return items;
}

// ---- _node_type_color ----------------------------------------------------------------

const char kNodeTypeColorDoc[] =
    "Colour of a node by its IR class name.\n\n"
    "Looks type(node).__name__ up in NODE_TYPE_COLORS; classes not in the table\n"
    "(None included) get _DEFAULT_NODE_COLOR.\n\n"
    "Args:\n"
    "    node: any object, usually an IR node.\n\n"
    "Returns:\n"
    "    A '#RRGGBB' colour.";

Ref node_type_color(Call& c) {
    Ref table = c.global(kNodeTypeColors);
    Ref name = type_name_of(c[0]);
    Ref fallback = c.global(kDefaultNodeColor);
    return call_method(table.get(), kGet, name.get(), fallback.get());
}

}  // namespace nivra::compiled
