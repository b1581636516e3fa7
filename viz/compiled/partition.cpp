// viz/compiled/partition.cpp: the partition view: the graph viewer page with each node
// outlined in its core's colour, cross-core edges dashed, and core and type legends.
#include "compiled.h"

namespace nivra::compiled {

const char kVisualizePartitionedDoc[] =
    "Write the partition view of a compiled graph: the graph viewer page with cores.\n\n"
    "Nodes are coloured by IR type (NODE_TYPE_COLORS); each node assigned to a core\n"
    "gets a dashed outline in that core's colour (CORE_BOUNDARY_COLORS[core % 16])\n"
    "and its core id in its hardware record; edges listed as crossing cores are\n"
    "dashed. The document's metadata gains the partition summary (when the graph\n"
    "has partition metadata), a core legend and a type legend.\n\n"
    "Assignments come from graph.partition_metadata['assignments']; nodes missing\n"
    "there but carrying a core_id attribute are added to that very dictionary.\n\n"
    "Args:\n"
    "    graph: an IR graph, usually after partitioning.\n"
    "    output_path: file to write (UTF-8; replaced when it exists).\n"
    "    title: page title.\n\n"
    "Returns:\n"
    "    output_path itself.\n\n"
    "Raises:\n"
    "    ValueError: some primitive (not Input/Output) has no core; nothing is written.\n"
    "    TypeError: the assignments are not a dict; core ids that cannot be taken\n"
    "        modulo 16 or sorted.\n"
    "    Errors of graph_to_dict, render_html and the file write propagate.";

const char kPartitionDocumentDoc[] =
    "The graph document of the partition view, without rendering or writing it.\n\n"
    "The document visualize_partitioned renders (node colours and core outlines,\n"
    "dashed cross-core edges, partition summary, core and type legends), for\n"
    "callers that change it before rendering.\n\n"
    "Args:\n"
    "    graph: an IR graph, usually after partitioning.\n\n"
    "Returns:\n"
    "    The document (a new dict).\n\n"
    "Raises:\n"
    "    As visualize_partitioned, except for rendering and writing.";

namespace {

// A number the legend may show: an int or a float (not a bool), else nothing.
bool plain_number(PyObject* v) { return v && !PyBool_Check(v) && (PyLong_Check(v) || PyFloat_Check(v)); }

// Per core id, its row of the partition metadata's "core_usage" (dicts with a hashable
// "core_id"); other rows are passed over.
Ref core_usage_rows(PyObject* graph) {
    Ref rows = new_dict();
    if (!has_truthy(graph, kPartitionMetadata)) return rows;
    Ref metadata = attr(graph, kPartitionMetadata);
    Ref usage = call_method(metadata.get(), kGet, kCoreUsage.get(), Py_None);
    if (!PyList_Check(usage.get()) && !PyTuple_Check(usage.get())) return rows;
    each(usage.get(), [&](PyObject* row) {
        if (!PyDict_Check(row)) return;
        PyObject* cid = PyDict_GetItemWithError(row, kCoreId.get());
        if (!cid) { throw_if_error(); return; }
        if (PyObject_Hash(cid) == -1) { PyErr_Clear(); return; }
        check(PyDict_SetItem(rows.get(), cid, row));
    });
    return rows;
}

// Steps 1-10 of the partition view: the document, ready to render.
Ref partition_document_of(Call& c, PyObject* graph) {
    // 1. The graph document.
    Ref graph_to_dict = c.global(kGraphToDict);
    Ref data = call_kw(graph_to_dict.get(), {graph}, {{&kDetectPatterns, Py_True}});

    // 2. Assignments from the partition metadata.
    Ref assignments = new_dict();
    if (has_truthy(graph, kPartitionMetadata)) {
        Ref metadata = attr(graph, kPartitionMetadata);
        Ref empty = new_dict();
        assignments = call_method(metadata.get(), kGet, kAssignments.get(), empty.get());
        expect_exact(assignments.get(), &PyDict_Type, true);
    }

    // 3. Nodes not listed there fall back to their core_id, written into the same dict.
    each_node(graph, [&](PyObject* name, PyObject* node) {
        if (assigned(assignments.get(), name)) return;
        Ref cid = get_attr_or_none(node, kCoreIdAttr.get());
        if (cid.get() != Py_None) check(PyDict_SetItem(assignments.get(), name, cid.get()));
    });

    // 4. Every primitive must have a core; without Input/Output in nivra.ir the check is skipped.
    Ref kinds;
    try {
        Ref input = import_from(c.module().dict(), "nivra.ir", "Input");
        Ref output = import_from(c.module().dict(), "nivra.ir", "Output");
        kinds = new_ref(PyTuple_Pack(2, input.get(), output.get()));
    } catch (PythonError& e) {
        if (!PyErr_GivenExceptionMatches(e.exc.get(), PyExc_ImportError)) throw;
    }
    if (kinds) {
        Ref unassigned = new_list();
        each_node(graph, [&](PyObject* name, PyObject* node) {
            if (check(PyObject_IsInstance(node, kinds.get()))) return;
            if (!assigned(assignments.get(), name)) append(unassigned.get(), name);
        });
        const Py_ssize_t n = PyList_GET_SIZE(unassigned.get());
        if (n) {
            Ref first = new_ref(PyList_GetSlice(unassigned.get(), 0, 5));
            Ref sep = str(", ");
            Ref names = new_ref(PyUnicode_Join(sep.get(), first.get()));
            PyErr_Format(PyExc_ValueError,
                         "%zd primitive(s) could not be assigned to a core: %U%s. Check that the model fits "
                         "within hardware constraints (max_neurons_per_core, sram_bytes_per_core).",
                         n, names.get(), n > 5 ? " ..." : "");
            throw PythonError{};
        }
    }

    // 5. Node records: type colour, and the core outline for assigned nodes.
    Ref node_records = item(data.get(), kNodes);
    Ref dashed = str("dashed"), three = integer(3);
    each(node_records.get(), [&](PyObject* node_data) {
        Ref node_name = item(node_data, kId);
        Ref nodes = attr(graph, kNodes);
        Ref node_obj = call_method(nodes.get(), kGet, node_name.get());
        if (node_obj.get() != Py_None) {
            Ref color = node_type_color_of(c, node_obj.get());
            set_key(node_data, kColor, color.get());
        }
        Ref core_id = get_or(assignments.get(), node_name.get(), Py_None);
        if (core_id.get() == Py_None) return;
        Ref boundary = core_color(c, core_id.get());
        set_key(node_data, kBorderColor, boundary.get());
        set_key(node_data, kBorderStyle, dashed.get());
        set_key(node_data, kBorderWidth, three.get());
        if (!check(PySequence_Contains(node_data, kHardware.get()))) {
            Ref fresh = new_dict();
            set_key(node_data, kHardware, fresh.get());
        }
        Ref hardware = item(node_data, kHardware);
        set_key(hardware.get(), kCoreId, core_id.get());
    });

    // 6-7. Edges that cross cores, each pair marking its own direction only.
    Ref cross = cross_core_pairs(graph);
    Ref edge_records = item(data.get(), kEdges);
    each(edge_records.get(), [&](PyObject* edge_data) {
        Ref source = item(edge_data, kSource);
        Ref target = item(edge_data, kTarget);
        Ref pair = new_ref(PyTuple_Pack(2, source.get(), target.get()));
        if (!check(PySet_Contains(cross.get(), pair.get()))) return;
        set_key(edge_data, kStyle, dashed.get());
        set_key(edge_data, kCrossCore, Py_True);
    });

    // 8. Partition summary.
    Ref doc_metadata = item(data.get(), kMetadata);
    if (has_truthy(graph, kPartitionMetadata)) {
        Ref summary = new_dict();
        Ref zero = integer(0), unknown = str("unknown");
        Ref m1 = attr(graph, kPartitionMetadata);
        Ref used = call_method(m1.get(), kGet, kNumCoresUsed.get(), zero.get());
        Ref m2 = attr(graph, kPartitionMetadata);
        Ref algorithm = call_method(m2.get(), kGet, kAlgorithm.get(), unknown.get());
        Ref count = integer(PySet_GET_SIZE(cross.get()));
        set_item(summary.get(), kNumCoresUsed, used.get());
        set_item(summary.get(), kAlgorithm, algorithm.get());
        set_item(summary.get(), kCrossCoreEdges, count.get());
        // the per-core limits the partition was made for, where it records them
        for (const Name* key : {&kMaxNeuronsPerCore, &kSramBytesPerCore}) {
            Ref limit = call_method(m2.get(), kGet, key->get(), Py_None);
            if (plain_number(limit.get())) set_item(summary.get(), *key, limit.get());
        }
        set_key(doc_metadata.get(), kPartition, summary.get());
    }

    // 9. Core legend: every assignment counts, fall-backs and unknown names included.
    Ref core_counts = new_dict();
    Ref values = call_method(assignments.get(), kValues);
    Ref zero = integer(0), one = integer(1);
    each(values.get(), [&](PyObject* cid) {
        Ref seen = get_or(core_counts.get(), cid, zero.get());
        Ref next = new_ref(PyNumber_Add(seen.get(), one.get()));
        check(PyDict_SetItem(core_counts.get(), cid, next.get()));
    });
    Ref core_legend = new_list();
    Ref usage = core_usage_rows(graph);
    Ref core_items = sorted_items(core_counts.get());
    each(core_items.get(), [&](PyObject* entry) {
        PyObject* cid = PyTuple_GET_ITEM(entry, 0);
        PyObject* count = PyTuple_GET_ITEM(entry, 1);
        Ref color = core_color(c, cid);
        Ref shown = new_ref(PyObject_Str(cid));
        Ref label = new_ref(PyUnicode_FromFormat("Core %U", shown.get()));
        Ref record = new_dict();
        set_item(record.get(), kCoreId, cid);
        set_item(record.get(), kColor, color.get());
        set_item(record.get(), kNodeCount, count);
        set_item(record.get(), kLabel, label.get());
        // what the core holds, for the legend's bars against the limits
        if (PyObject* row = PyDict_GetItemWithError(usage.get(), cid)) {
            for (const Name* key : {&kNeurons, &kParamBytes}) {
                PyObject* v = PyDict_GetItemWithError(row, key->get());
                if (plain_number(v)) set_item(record.get(), *key, v);
                else throw_if_error();
            }
        } else {
            throw_if_error();
        }
        append(core_legend.get(), record.get());
    });
    set_key(doc_metadata.get(), kCoreLegend, core_legend.get());

    // 10. Type legend: the colour of the first node of each class, by class name.
    Ref types_used = new_dict();
    each_node(graph, [&](PyObject*, PyObject* node) {
        Ref tname = type_name_of(node);
        if (check(PyDict_Contains(types_used.get(), tname.get()))) return;
        Ref color = node_type_color_of(c, node);
        check(PyDict_SetItem(types_used.get(), tname.get(), color.get()));
    });
    Ref type_legend = new_list();
    Ref type_items = sorted_items(types_used.get());
    each(type_items.get(), [&](PyObject* entry) {
        Ref record = new_dict();
        set_item(record.get(), kType, PyTuple_GET_ITEM(entry, 0));
        set_item(record.get(), kColor, PyTuple_GET_ITEM(entry, 1));
        append(type_legend.get(), record.get());
    });
    set_key(doc_metadata.get(), kTypeLegend, type_legend.get());
    return data;
}

}  // namespace

Ref partition_document(Call& c) { return partition_document_of(c, c[0]); }

Ref visualize_partitioned(Call& c) {
    Ref data = partition_document_of(c, c[0]);

    // 11-13. The page, written as UTF-8.
    Ref render_html = c.global(kRenderHtml);
    Ref html = call_kw(render_html.get(), {data.get()}, {{&kTitle, c[2]}});
    write_text_utf8(c[1], html.get());
    return c.take(1);
}

}  // namespace nivra::compiled
