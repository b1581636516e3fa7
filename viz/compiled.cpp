// viz/compiled.cpp: views of a partitioned IR graph: the partition view page and the execution-schedule page.
#include "frame/compat.h"    // lookup_attr: a missing attribute told apart from None
#include "frame/frame.h"     // Ref, Call, Module, the function table
#include "frame/text.h"      // escape_html for the schedule page's texts

using namespace nivra;

namespace {

// Module-level names, looked up at each use.
const Name kGraphToDict("graph_to_dict"), kRenderHtml("render_html"), kNodeTypeColor("_node_type_color");
const Name kNodeTypeColors("NODE_TYPE_COLORS"), kDefaultNodeColor("_DEFAULT_NODE_COLOR");
const Name kCoreBoundaryColors("CORE_BOUNDARY_COLORS");
// Builtins, reached through the module like any global.
const Name kOpen("open"), kFormat("format"), kSum("sum"), kMax("max");
// Attributes.
const Name kDunderName("__name__"), kNodes("nodes"), kItems("items"), kValues("values"), kGet("get");
const Name kPartitionMetadata("partition_metadata"), kExecutionSchedule("execution_schedule");
const Name kGetStage("get_stage"), kCoreIdAttr("core_id"), kPrecision("precision");
const Name kPerNodeLatency("per_node_latency"), kWrite("write"), kClose("close");
// Keywords and keys.
const Name kDetectPatterns("detect_patterns"), kTitle("title"), kEncoding("encoding");
const Name kAssignments("assignments"), kCrossCoreEdges("cross_core_edges"), kNumCoresUsed("num_cores_used");
const Name kAlgorithm("algorithm"), kId("id"), kColor("color"), kBorderColor("borderColor");
const Name kBorderStyle("borderStyle"), kBorderWidth("borderWidth"), kHardware("hardware"), kCoreId("core_id");
const Name kEdges("edges"), kSource("source"), kTarget("target"), kStyle("style"), kCrossCore("cross_core");
const Name kMetadata("metadata"), kPartition("partition"), kNodeCount("node_count"), kLabel("label");
const Name kCoreLegend("core_legend"), kTypeLegend("type_legend"), kType("type");

const char* const kCoreColors[16] = {"#4285F4", "#EA4335", "#34A853", "#FBBC05", "#9C27B0", "#FF6D00",
                                     "#00BCD4", "#795548", "#607D8B", "#E91E63", "#3F51B5", "#009688",
                                     "#CDDC39", "#FF5722", "#673AB7", "#2196F3"};

const char* const kTypeColors[32][2] = {
    {"Input", "#78909C"},          {"Output", "#78909C"},         {"Conv2d", "#2196F3"},
    {"Conv1d", "#2196F3"},         {"SepConv2d", "#1976D2"},      {"Affine", "#FF9800"},
    {"SpikingAffine", "#F57C00"},  {"LIF", "#4CAF50"},            {"ReLU", "#8BC34A"},
    {"Sigmoid", "#8BC34A"},        {"Tanh", "#8BC34A"},           {"Softmax", "#8BC34A"},
    {"BatchNorm1d", "#9C27B0"},    {"BatchNorm2d", "#9C27B0"},    {"LayerNorm", "#9C27B0"},
    {"MaxPool2d", "#FFC107"},      {"AvgPool2d", "#FFC107"},      {"Flatten", "#607D8B"},
    {"Dropout", "#9E9E9E"},        {"Skip", "#00BCD4"},           {"Upsample", "#03A9F4"},
    {"HybridRegion", "#E91E63"},   {"ChannelSplit", "#CDDC39"},   {"Concat", "#8BC34A"},
    {"SGhostConv", "#66BB6A"},     {"SGhostEncoderLite", "#43A047"}, {"GhostBasicBlock1", "#2E7D32"},
    {"GhostBasicBlock2", "#388E3C"}, {"SDDetect", "#E53935"},     {"DFLDecode", "#C62828"},
    {"Dist2BBox", "#B71C1C"},      {"NMS", "#880E4F"},
};

// ---- helpers -------------------------------------------------------------------

// type(obj).__name__
Ref type_name_of(PyObject* obj) { return attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), kDunderName); }

// obj[key] / obj[key] = value for any mapping or sequence.
Ref item(PyObject* obj, const Name& key) { return new_ref(PyObject_GetItem(obj, key.get())); }
void set_key(PyObject* obj, const Name& key, PyObject* value) { check(PyObject_SetItem(obj, key.get(), value)); }

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

// Walks `graph.nodes.items()` as (name, node) pairs.
template <class F>
void each_node(PyObject* graph, F&& visit) {
    Ref nodes = attr(graph, kNodes);
    Ref items = call_method(nodes.get(), kItems);
    Ref it = new_ref(PyObject_GetIter(items.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref pair = Ref::steal(raw);
        Ref kv[2];
        unpack(pair.get(), kv, 2);
        visit(kv[0].get(), kv[1].get());
    }
    throw_if_error();
}

// Walks any iterable.
template <class F>
void each(PyObject* iterable, F&& visit) {
    Ref it = new_ref(PyObject_GetIter(iterable));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref value = Ref::steal(raw);
        visit(value.get());
    }
    throw_if_error();
}

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

// Writes a page as UTF-8 text, closing the file on every path.
void write_page(Call& c, PyObject* path, PyObject* html) {
    Ref open = c.global(kOpen);
    Ref mode = str("w"), utf8 = str("utf-8");
    Ref file = call_kw(open.get(), {path, mode.get()}, {{&kEncoding, utf8.get()}});
    try {
        call_method(file.get(), kWrite, html);
    } catch (PythonError&) {
        Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file.get(), kClose.get()));
        if (!closed) PyErr_Clear();  // the write's error is the one reported
        throw;
    }
    call_method(file.get(), kClose);
}

// ---- _node_type_color ----------------------------------------------------------------

constexpr const char kNodeTypeColorDoc[] =
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

// ---- visualize_partitioned -----------------------------------------------------------

constexpr const char kVisualizePartitionedDoc[] =
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

Ref visualize_partitioned(Call& c) {
    PyObject* graph = c[0];

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
        Ref ir_module = new_ref(PyImport_ImportModule("nivra.ir"));
        Ref input = new_ref(PyObject_GetAttrString(ir_module.get(), "Input"));
        Ref output = new_ref(PyObject_GetAttrString(ir_module.get(), "Output"));
        kinds = new_ref(PyTuple_Pack(2, input.get(), output.get()));
    } catch (PythonError& e) {
        PyObject* exc = e.exc.get();
        const bool import_error = PyErr_GivenExceptionMatches(exc, PyExc_ImportError);
        const bool missing_name = PyErr_GivenExceptionMatches(exc, PyExc_AttributeError);
        if (!import_error && !missing_name) throw;  // `from nivra.ir import ...` reports a missing name as ImportError
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

    // 11-13. The page, written as UTF-8.
    Ref render_html = c.global(kRenderHtml);
    Ref html = call_kw(render_html.get(), {data.get()}, {{&kTitle, c[2]}});
    write_page(c, c[1], html.get());
    return c.take(1);
}

// ---- visualize_execution_schedule ----------------------------------------------------

constexpr const char kVisualizeExecutionScheduleDoc[] =
    "Write the execution-schedule page of a compiled graph: one row per core.\n\n"
    "Each row shows the core's node chips in execution order, stages separated by\n"
    "a bar, with each node's estimated latency and the core's idle share when a\n"
    "profile result is given; then the cross-core data dependencies and a summary\n"
    "(cores, nodes, total latency, critical path, stage). The schedule comes from\n"
    "graph.execution_schedule, else from the partition metadata's assignments (one\n"
    "stage per core). Every text taken from the graph, and every colour taken from\n"
    "the colour tables, is HTML-escaped.\n\n"
    "Args:\n"
    "    graph: an IR graph, usually after partitioning.\n"
    "    output_path: file to write (UTF-8; replaced when it exists).\n"
    "    title: page title.\n"
    "    profile_result: optional; its per_node_latency dict (node name -> us) is read.\n\n"
    "Returns:\n"
    "    output_path itself.\n\n"
    "Raises:\n"
    "    TypeError: per_node_latency is not a dict or None; core ids or pairs that\n"
    "        cannot be sorted; non-numeric latencies.\n"
    "    ValueError: a cross-core entry that is not a pair.\n"
    "    Errors of get_stage() and of the file write propagate.";

Ref escaped(Ref text) { return escape_html(std::move(text)); }

// str(value), escaped.
Ref shown(PyObject* value) { return escaped(new_ref(PyObject_Str(value))); }

// A colour from the tables, as a line piece (a str as it is, else str()), escaped:
// the tables are module attributes that users extend. Valid colours hold none of
// the five characters, so they come out unchanged.
Ref colour_text(Ref colour) {
    return escaped(PyUnicode_Check(colour.get()) ? std::move(colour) : new_ref(PyObject_Str(colour.get())));
}

// The page as a list of lines; each line the concatenation of its pieces,
// where a piece that is not a str is shown with str().
class Lines {
public:
    Lines() : list_(new_list()) {}
    void add(std::initializer_list<PyObject*> pieces) {
        Ref parts = new_ref(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
        Py_ssize_t i = 0;
        for (PyObject* p : pieces) {
            Ref text = PyUnicode_Check(p) ? Ref::borrow(p) : new_ref(PyObject_Str(p));
            PyTuple_SET_ITEM(parts.get(), i++, text.release());
        }
        Ref none = str("");
        Ref line = new_ref(PyUnicode_Join(none.get(), parts.get()));
        append(list_.get(), line.get());
    }
    void add(const char* text) {
        Ref line = str(text);
        append(list_.get(), line.get());
    }
    Ref joined() const {
        Ref sep = str("\n");
        return new_ref(PyUnicode_Join(sep.get(), list_.get()));
    }

private:
    Ref list_;
};

const char* const kScheduleHead[] = {
    "<style>",
    "body { font-family: -apple-system, sans-serif; margin: 20px; background: #1a1a2e; color: #e0e0e0; }",
    "h1 { color: #4285F4; }",
    ".core-row { display: flex; align-items: center; margin: 8px 0; }",
    ".core-label { min-width: 90px; font-weight: bold; color: #9e9e9e; }",
    ".node-chip { display: inline-block; padding: 4px 10px; margin: 2px; border-radius: 4px; font-size: 12px; "
    "position: relative; }",
    ".chip-latency { font-size: 10px; color: #aaa; margin-left: 4px; }",
    ".stage-sep { border-left: 2px solid #444; margin: 0 6px; height: 24px; display: inline-block; }",
    ".idle-bar { display: inline-block; height: 8px; background: #333; border-radius: 4px; margin-left: 4px; "
    "vertical-align: middle; }",
    ".summary { margin-top: 20px; padding: 16px; background: #16213e; border-radius: 8px; }",
    ".dep-note { font-size: 11px; color: #888; margin-top: 12px; }",
    "</style>",
    "</head><body>",
};

// format(value, spec) through the builtin.
Ref formatted(Call& c, PyObject* value, const char* spec) {
    Ref format = c.global(kFormat);
    Ref s = str(spec);
    return call(format.get(), value, s.get());
}

// The core schedule: core id -> list of stage groups.
Ref core_schedule(PyObject* graph) {
    Ref schedule = new_dict();
    if (has_truthy(graph, kExecutionSchedule)) {
        Ref cores = attr(graph, kExecutionSchedule);
        Py_ssize_t i = 0;
        each(cores.get(), [&](PyObject* groups) {
            Ref key = integer(i++);
            check(PyDict_SetItem(schedule.get(), key.get(), groups));
        });
        return schedule;
    }
    if (!has_truthy(graph, kPartitionMetadata)) return schedule;
    Ref metadata = attr(graph, kPartitionMetadata);
    Ref empty = new_dict();
    Ref assignments = call_method(metadata.get(), kGet, kAssignments.get(), empty.get());
    Ref core_nodes = new_dict();
    Ref pairs = call_method(assignments.get(), kItems);
    each(pairs.get(), [&](PyObject* pair) {
        Ref kv[2];
        unpack(pair, kv, 2);
        PyObject* names = PyDict_GetItemWithError(core_nodes.get(), kv[1].get());
        if (!names) {
            throw_if_error();
            Ref fresh = new_list();
            check(PyDict_SetItem(core_nodes.get(), kv[1].get(), fresh.get()));
            names = fresh.get();  // kept alive by core_nodes
        }
        append(names, kv[0].get());
    });
    Ref sorted = sorted_items(core_nodes.get());
    each(sorted.get(), [&](PyObject* entry) {
        Ref one_stage = new_ref(PyList_New(0));
        append(one_stage.get(), PyTuple_GET_ITEM(entry, 1));
        check(PyDict_SetItem(schedule.get(), PyTuple_GET_ITEM(entry, 0), one_stage.get()));
    });
    return schedule;
}

Ref visualize_execution_schedule(Call& c) {
    PyObject* graph = c[0];
    PyObject* profile = c[3];

    // 1. Core schedule.
    Ref schedule = core_schedule(graph);

    // 2. Latencies.
    Ref node_latency = new_dict();
    if (profile != Py_None && has_attr(profile, kPerNodeLatency.get())) {
        node_latency = attr(profile, kPerNodeLatency);
        expect_exact(node_latency.get(), &PyDict_Type, true);
    }

    // 3. Cross-core pairs.
    Ref cross = cross_core_pairs(graph);

    // 4-5. Core totals and the longest (the critical path).
    Ref core_total = new_dict();
    Ref zero_f = real(0.0);
    {
        Ref snapshot = new_ref(PyDict_Items(schedule.get()));
        each(snapshot.get(), [&](PyObject* entry) {
            PyObject* core_id = PyTuple_GET_ITEM(entry, 0);
            PyObject* groups = PyTuple_GET_ITEM(entry, 1);
            Ref total = real(0.0);
            each(groups, [&](PyObject* group) {
                each(group, [&](PyObject* node_name) {
                    Ref lat = get_or(node_latency.get(), node_name, zero_f.get());
                    total = new_ref(PyNumber_InPlaceAdd(total.get(), lat.get()));
                });
            });
            check(PyDict_SetItem(core_total.get(), core_id, total.get()));
        });
    }
    Ref max_core_us = real(1.0);
    if (PyDict_GET_SIZE(core_total.get())) {
        Ref max = c.global(kMax);
        Ref values = call_method(core_total.get(), kValues);
        max_core_us = call(max.get(), values.get());
    }

    // 6. Head.
    Lines page;
    Ref title = escaped(c.take(2));
    page.add("<!DOCTYPE html>");
    page.add("<html><head><meta charset=\"utf-8\">");
    {
        Ref open = str("<title>"), close = str("</title>");
        page.add({open.get(), title.get(), close.get()});
    }
    for (const char* line : kScheduleHead) page.add(line);
    {
        Ref open = str("<h1>"), close = str("</h1>");
        page.add({open.get(), title.get(), close.get()});
    }

    Ref zero = integer(0), one = integer(1), hundred = integer(100), one_f = real(1.0);
    if (!PyDict_GET_SIZE(schedule.get())) {
        // 7. Nothing scheduled.
        page.add("<p>No execution schedule available. Run graph.partition() first.</p>");
    } else {
        // 8. One row per core, by ascending core id.
        Ref label_open = str("<span class=\"core-label\" style=\"color:"), label_mid = str("\">Core ");
        Ref span_close = str("</span>");
        Ref chip1 = str("<span class=\"node-chip\" style=\"background:"), chip3 = str("22; border:1px solid ");
        Ref chip5 = str("; outline: 2px dashed "), chip7 = str("; outline-offset: 1px;\">");
        Ref chip9 = str(" <small>("), chip12 = str(")</small>");
        Ref lat_open = str("<span class=\"chip-latency\">"), lat_close = str(" us</span>");
        Ref prec_open = str(" ["), prec_close = str("]"), empty = str(""), unknown_type = str("?");
        Ref idle1 = str("<span class=\"idle-bar\" style=\"width:"), idle3 = str("px\" title=\"~");
        Ref idle5 = str("% idle\"></span>");

        Ref rows = sorted_items(schedule.get());
        each(rows.get(), [&](PyObject* entry) {
            PyObject* core_id = PyTuple_GET_ITEM(entry, 0);
            PyObject* groups = PyTuple_GET_ITEM(entry, 1);
            Ref border = colour_text(core_color(c, core_id));
            page.add("<div class=\"core-row\">");
            Ref core_text = shown(core_id);
            page.add({label_open.get(), border.get(), label_mid.get(), core_text.get(), span_close.get()});

            Py_ssize_t group_idx = 0;
            each(groups, [&](PyObject* group) {
                if (group_idx++ > 0) page.add("<span class=\"stage-sep\"></span>");
                each(group, [&](PyObject* node_name) {
                    Ref nodes = attr(graph, kNodes);
                    Ref node = call_method(nodes.get(), kGet, node_name);
                    const bool present = node.get() != Py_None && truthy(node.get());
                    Ref node_type = present ? escaped(type_name_of(node.get())) : unknown_type.copy();
                    Ref fill = colour_text(present ? node_type_color_of(c, node.get()) : c.global(kDefaultNodeColor));
                    Ref lat = get_or(node_latency.get(), node_name, zero_f.get());
                    Ref lat_label = empty.copy();
                    if (compare(lat.get(), zero.get(), Py_GT)) {
                        Ref number = formatted(c, lat.get(), ".1f");
                        lat_label = new_ref(PyUnicode_Concat(lat_open.get(), number.get()));
                        lat_label = new_ref(PyUnicode_Concat(lat_label.get(), lat_close.get()));
                    }
                    Ref precision = empty.copy();
                    if (present) {  // getattr(node, "precision", "")
                        PyObject* p = nullptr;
                        if (check(compat::lookup_attr(node.get(), kPrecision.get(), &p))) precision = Ref::steal(p);
                    }
                    Ref prec_label = empty.copy();
                    if (truthy(precision.get())) {
                        Ref text = shown(precision.get());
                        prec_label = new_ref(PyUnicode_Concat(prec_open.get(), text.get()));
                        prec_label = new_ref(PyUnicode_Concat(prec_label.get(), prec_close.get()));
                    }
                    Ref name_text = shown(node_name);
                    page.add({chip1.get(), fill.get(), chip3.get(), fill.get(), chip5.get(), border.get(),
                              chip7.get(), name_text.get(), chip9.get(), node_type.get(), prec_label.get(),
                              chip12.get(), lat_label.get(), span_close.get()});
                });
            });

            Ref core_us = get_or(core_total.get(), core_id, zero_f.get());
            Ref idle_pct = zero.copy();
            // Compared per row, after its chips: a total that cannot be compared
            // fails only once the row's colours have been looked up.
            if (compare(max_core_us.get(), zero.get(), Py_GT)) {
                Ref share = new_ref(PyNumber_TrueDivide(core_us.get(), max_core_us.get()));
                Ref rest = new_ref(PyNumber_Subtract(one_f.get(), share.get()));
                idle_pct = new_ref(PyNumber_Multiply(rest.get(), hundred.get()));
            }
            if (compare(idle_pct.get(), one.get(), Py_GT)) {
                Ref pct = formatted(c, idle_pct.get(), ".0f");
                page.add({idle1.get(), pct.get(), idle3.get(), pct.get(), idle5.get()});
            }
            page.add("</div>");
        });
    }

    if (!PyDict_GET_SIZE(schedule.get())) {
        // 11. Without a schedule the page ends here.
        page.add("</body></html>");
        Ref html = page.joined();
        write_page(c, c[1], html.get());
        return c.take(1);
    }

    // 9. Cross-core dependencies.
    if (PySet_GET_SIZE(cross.get())) {
        page.add("<div class=\"dep-note\">");
        Ref head = new_ref(PyUnicode_FromFormat("<strong>Cross-core data dependencies (%zd):</strong><br>",
                                                PySet_GET_SIZE(cross.get())));
        page.add({head.get()});
        Ref pairs = sorted_list(cross.get());
        Ref indent = str("  "), arrow = str(" &rarr; "), br = str("<br>");
        each(pairs.get(), [&](PyObject* pair) {
            Ref source = shown(PyTuple_GET_ITEM(pair, 0));
            Ref target = shown(PyTuple_GET_ITEM(pair, 1));
            page.add({indent.get(), source.get(), arrow.get(), target.get(), br.get()});
        });
        page.add("</div>");
    }

    // 10. Summary.
    Ref total_nodes = integer(0);
    {
        Ref all_groups = call_method(schedule.get(), kValues);
        each(all_groups.get(), [&](PyObject* groups) {
            each(groups, [&](PyObject* group) {
                const Py_ssize_t n = PyObject_Size(group);
                if (n < 0) throw PythonError{};
                Ref len = integer(n);
                total_nodes = new_ref(PyNumber_Add(total_nodes.get(), len.get()));
            });
        });
    }
    Ref sum = c.global(kSum);
    Ref totals = call_method(core_total.get(), kValues);
    Ref total_latency = call(sum.get(), totals.get());

    page.add("<div class=\"summary\">");
    {
        Ref cores = new_ref(PyUnicode_FromFormat("<strong>Cores:</strong> %zd | ", PyDict_GET_SIZE(schedule.get())));
        page.add({cores.get()});
        Ref label = str("<strong>Nodes:</strong> ");
        page.add({label.get(), total_nodes.get()});
    }
    if (compare(total_latency.get(), zero.get(), Py_GT)) {
        Ref a = str(" | <strong>Total latency:</strong> "), b = str(" | <strong>Critical path:</strong> ");
        Ref us = str(" us");
        Ref total_text = formatted(c, total_latency.get(), ",.1f");
        page.add({a.get(), total_text.get(), us.get()});
        Ref critical_text = formatted(c, max_core_us.get(), ",.1f");
        page.add({b.get(), critical_text.get(), us.get()});
    }
    Ref stage = str("unknown");
    if (has_attr(graph, kGetStage.get())) stage = call_method(graph, kGetStage);
    {
        Ref label = str(" | <strong>Stage:</strong> ");
        Ref text = shown(stage.get());
        page.add({label.get(), text.get()});
    }
    page.add("</div>");

    // 11-13. The page, written as UTF-8.
    page.add("</body></html>");
    Ref html = page.joined();
    write_page(c, c[1], html.get());
    return c.take(1);
}

// ---- module ----------------------------------------------------------------------------

void body(Module& m) {
    m.import_as("json", "json");
    m.import_from("typing", {"Any", "Dict", "List", "Optional"});
    m.import_from("nivra", {"ir"});
    m.import_from("serialize", {"graph_to_dict"}, 1);
    m.import_from("render", {"render_html"}, 1);

    Ref core_colors = new_list();
    for (const char* color : kCoreColors) {
        Ref s = str(color);
        append(core_colors.get(), s.get());
    }
    m.set("CORE_BOUNDARY_COLORS", core_colors.get());

    Ref type_colors = new_dict();
    for (const auto& entry : kTypeColors) {
        Ref color = str(entry[1]);
        check(PyDict_SetItemString(type_colors.get(), entry[0], color.get()));
    }
    m.set("NODE_TYPE_COLORS", type_colors.get());
    Ref fallback = str("#90A4AE");
    m.set("_DEFAULT_NODE_COLOR", fallback.get());
}

const Def kDefs[] = {
    NIVRA_DEF("_node_type_color(node: ir.Node) -> str", node_type_color, kNodeTypeColorDoc),
    NIVRA_DEF("visualize_partitioned(graph: ir.Graph, str output_path: str, str title: str = 'Partitioned Graph') -> str",
              visualize_partitioned, kVisualizePartitionedDoc),
    NIVRA_DEF("visualize_execution_schedule(graph: ir.Graph, str output_path: str, "
              "str title: str = 'Execution Schedule', profile_result: Optional[Any] = None) -> str",
              visualize_execution_schedule, kVisualizeExecutionScheduleDoc),
};

constexpr const char kModuleDoc[] =
    "Visualization for compiled/partitioned NIVRA IR graphs.\n\n"
    "Two views of a graph after the compiler has placed it on hardware cores: the\n"
    "partition view (the graph viewer page with nodes outlined in their core's\n"
    "colour, cross-core edges dashed and core and type legends) and the execution\n"
    "schedule page (one timeline row per core, with stage groups, per-node latency\n"
    "and idle share from a profile result).";

}  // namespace

NIVRA_MODULE(compiled, kModuleDoc, body, kDefs)
