// viz/compiled/compiled.h: what the source files of the compiled module share: its
// module-level names, the graph walks and lookups both views use, and each file's functions.
//
// The module is built from viz/compiled.cpp (names, tables, body, function table) and
// graph.cpp (reading the compiled graph, node colours), partition.cpp (the partition view)
// and schedule.cpp (the execution-schedule page).
#pragma once

#include "frame/frame.h"     // Ref, Call, Module, the function table

namespace nivra::compiled {

// Module-level names, looked up at each use (defined with the module in compiled.cpp).
extern const Name kGraphToDict, kRenderHtml, kNodeTypeColor, kNodeTypeColors, kDefaultNodeColor;
extern const Name kCoreBoundaryColors;
// Builtins, reached through the module like any global.
extern const Name kFormat, kSum, kMax;

// Attributes.
inline const Name kDunderName("__name__"), kNodes("nodes"), kItems("items"), kValues("values"), kGet("get");
inline const Name kPartitionMetadata("partition_metadata"), kExecutionSchedule("execution_schedule");
inline const Name kGetStage("get_stage"), kCoreIdAttr("core_id"), kPrecision("precision");
inline const Name kPerNodeLatency("per_node_latency");
// Keywords and keys.
inline const Name kDetectPatterns("detect_patterns"), kTitle("title");
inline const Name kAssignments("assignments"), kCrossCoreEdges("cross_core_edges"), kNumCoresUsed("num_cores_used");
inline const Name kAlgorithm("algorithm"), kId("id"), kColor("color"), kBorderColor("borderColor");
inline const Name kBorderStyle("borderStyle"), kBorderWidth("borderWidth"), kHardware("hardware"), kCoreId("core_id");
inline const Name kEdges("edges"), kSource("source"), kTarget("target"), kStyle("style"), kCrossCore("cross_core");
inline const Name kMetadata("metadata"), kPartition("partition"), kNodeCount("node_count"), kLabel("label");
inline const Name kCoreLegend("core_legend"), kTypeLegend("type_legend"), kType("type");
inline const Name kCoreUsage("core_usage"), kNeurons("neurons"), kParamBytes("param_bytes");
inline const Name kMaxNeuronsPerCore("max_neurons_per_core"), kSramBytesPerCore("sram_bytes_per_core");

// ---- helpers (graph.cpp) ---------------------------------------------------------

/// type(obj).__name__
Ref type_name_of(PyObject* obj);

/// obj[key] / obj[key] = value for any mapping or sequence.
inline Ref item(PyObject* obj, const Name& key) { return new_ref(PyObject_GetItem(obj, key.get())); }
inline void set_key(PyObject* obj, const Name& key, PyObject* value) { check(PyObject_SetItem(obj, key.get(), value)); }

/// mapping.get(key, default): a dict directly, anything else through its get method.
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback);

/// `hasattr(obj, name) and obj.name`: the attribute is read twice, as written.
bool has_truthy(PyObject* obj, const Name& name);

/// `name not in assignments`, where assignments is a dict or None.
bool assigned(PyObject* assignments, PyObject* name);

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

/// _node_type_color(node), through the module.
Ref node_type_color_of(Call& c, PyObject* node);

/// CORE_BOUNDARY_COLORS[core_id % len(CORE_BOUNDARY_COLORS)]
Ref core_color(Call& c, PyObject* core_id);

/// The set of (source, target) tuples of the partition metadata's "cross_core_edges".
Ref cross_core_pairs(PyObject* graph);

/// sorted(iterable): a new list, sorted in place as the builtin does.
Ref sorted_list(PyObject* iterable);

/// sorted(d.items()) for one of our own dicts: a list of (key, value) tuples.
Ref sorted_items(PyObject* dict);

// ---- the module's functions, with their docs ---------------------------------------

Ref node_type_color(Call& c);            // graph.cpp
Ref visualize_partitioned(Call& c);      // partition.cpp
Ref partition_document(Call& c);         // partition.cpp
Ref visualize_execution_schedule(Call& c);  // schedule.cpp
extern const char kNodeTypeColorDoc[], kVisualizePartitionedDoc[], kVisualizeExecutionScheduleDoc[],
    kPartitionDocumentDoc[];

}  // namespace nivra::compiled
