// viz/serialize.cpp: IR graph -> graph document (node, edge and group records, summary).
#include "frame/compat.h"       // lookup_attr: attribute presence that tells absence from None
#include "frame/frame.h"        // Ref, Call, Module, the function table

#include <utility>              // std::pair of label and subtitle

using namespace nivra;

namespace {

const Name kNp("np"), kNdarray("ndarray"), kFields("fields"), kEncodeValue("encode_value");
const Name kNodeColors("NODE_COLORS"), kNodeShapes("NODE_SHAPES"), kNodeDisplayParams("NODE_DISPLAY_PARAMS");
const Name kDefaultNodeColor("DEFAULT_NODE_COLOR"), kDefaultNodeShape("DEFAULT_NODE_SHAPE");
const Name kGroupColors("GROUP_COLORS"), kGroupShapes("GROUP_SHAPES"), kGroupIcons("GROUP_ICONS");
const Name kGroupDisplayParams("GROUP_DISPLAY_PARAMS");
const Name kDefaultGroupColor("DEFAULT_GROUP_COLOR"), kDefaultGroupShape("DEFAULT_GROUP_SHAPE");
const Name kDetectAllPatterns("detect_all_patterns"), kBuildGroupHierarchy("build_group_hierarchy");
const Name kSerializeNode("serialize_node"), kComputeSummary("compute_summary");
const Name kSerializePattern("serialize_pattern");

const Name kDunderName("__name__"), kDataclassFields("__dataclass_fields__"), kName("name");
const Name kInputType("input_type"), kOutputType("output_type"), kInput("input"), kOutput("output");
const Name kPrecision("precision"), kCoreId("core_id"), kHardwareHints("hardware_hints");
const Name kTolist("tolist"), kSize("size"), kGet("get"), kItems("items");

// Record keys.
const Name kId("id"), kType("type"), kInputShape("input_shape"), kOutputShape("output_shape");
const Name kParams("params"), kConfig("config"), kParamCount("param_count"), kColor("color");
const Name kShape("shape"), kDisplayParams("display_params"), kHardware("hardware"), kGroup("group");
const Name kNodeCount("node_count"), kEdgeCount("edge_count"), kTotalParams("total_params");
const Name kNodeCounts("node_counts"), kInputs("inputs"), kOutputs("outputs");
const Name kLabel("label"), kSubtitle("subtitle"), kNodes("nodes"), kEntryNodes("entry_nodes");
const Name kExitNodes("exit_nodes"), kMetadata("metadata"), kIcon("icon");
const Name kGroupId("group_id"), kPatternType("pattern_type");
const Name kVersion("version"), kEdges("edges"), kSummary("summary"), kGroups("groups");
const Name kNodeToGroup("node_to_group"), kSource("source"), kTarget("target");
const Name kVersionAttr("__version__"), kRead("read");

// Pattern types with their own label and the metadata keys they read.
const Name kRepConv("RepConv"), kSpp("SPP"), kSppf("SPPF"), kSkipConnection("SkipConnection");
const Name kBranches("branches"), kNumScales("num_scales"), kPoolKernels("pool_kernels");
const Name kChainDepth("chain_depth"), kKernelSize("kernel_size");
const Name kProcessingDepth("processing_depth"), kPathTypes("path_types");

// --- helpers ----------------------------------------------------------------

// obj.name when present, or a null Ref when absent; only AttributeError counts as absence.
Ref optional_attr(PyObject* obj, const Name& name) {
    PyObject* value = nullptr;
    if (check(compat::lookup_attr(obj, name.get(), &value)) == 0) return Ref{};
    return Ref::steal(value);
}

// type(obj).__name__
Ref type_name_of(PyObject* obj) {
    return attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), kDunderName);
}

bool is_instance(PyObject* obj, PyObject* cls) { return check(PyObject_IsInstance(obj, cls)) != 0; }

// np.ndarray as bound in the module now.
Ref ndarray_type(Call& c) {
    Ref np = c.global(kNp);
    return attr(np.get(), kNdarray);
}

// table.get(key, fallback) with the table and its fallback read from the module now.
Ref table_get(Call& c, const Name& table, const Name& fallback, PyObject* key) {
    Ref t = c.global(table);
    Ref getter = attr(t.get(), kGet);
    Ref dflt = c.global(fallback);
    return call(getter.get(), key, dflt.get());
}

// table.get(key, default) with a default built by the caller.
Ref table_get_or(Call& c, const Name& table, PyObject* key, PyObject* dflt) {
    Ref t = c.global(table);
    return call_method(t.get(), kGet, key, dflt);
}

// A shape value as recorded: NumPy arrays become lists, anything else stays as it is.
Ref port_shape(PyObject* value, PyObject* ndarray) {
    if (is_instance(value, ndarray)) return call_method(value, kTolist);
    return Ref::borrow(value);
}

// The shape under `key` of a node's `input_type`/`output_type` mapping, or None:
// the attribute must be a dict (subclasses too) holding the key.
Ref node_port(PyObject* node, const Name& attr_name, const Name& key, PyObject* ndarray) {
    Ref mapping = get_attr_or_none(node, attr_name.get());
    if (mapping.get() == Py_None || !PyDict_Check(mapping.get())) return none();
    if (!check(PySequence_Contains(mapping.get(), key.get()))) return none();
    Ref value = new_ref(PyObject_GetItem(mapping.get(), key.get()));
    return port_shape(value.get(), ndarray);
}

// f"{value}": str values stay the same object, others go through format(value, "").
Ref text_of(PyObject* value) { return new_ref(PyObject_Format(value, nullptr)); }

Ref concat(PyObject* a, PyObject* b) { return new_ref(PyUnicode_Concat(a, b)); }

Ref join(const char* sep, PyObject* items) {
    Ref s = str(sep);
    return new_ref(PyUnicode_Join(s.get(), items));
}

// prefix + f"{value}" + suffix
Ref wrap(const char* prefix, PyObject* value, const char* suffix) {
    Ref text = text_of(value);
    return new_ref(PyUnicode_FromFormat("%s%U%s", prefix, text.get(), suffix));
}

// f"{kernel[0]}×{kernel[1]}"
Ref kernel_text(PyObject* kernel) {
    Ref zero = integer(0), one = integer(1);
    Ref first = new_ref(PyObject_GetItem(kernel, zero.get()));
    Ref first_text = text_of(first.get());
    Ref second = new_ref(PyObject_GetItem(kernel, one.get()));
    Ref second_text = text_of(second.get());
    Ref times = str("\u00d7");
    Ref head = concat(first_text.get(), times.get());
    return concat(head.get(), second_text.get());
}

// pattern.metadata.get(key, dflt), reading `metadata` afresh.
Ref meta_get(PyObject* pattern, const Name& key, PyObject* dflt) {
    Ref meta = attr(pattern, kMetadata);
    return call_method(meta.get(), kGet, key.get(), dflt);
}

bool equals(PyObject* value, const Name& text) { return compare(value, text.get(), Py_EQ); }

// Label and subtitle of a group record.
std::pair<Ref, Ref> pattern_texts(PyObject* pattern, PyObject* type) {
    if (equals(type, kRepConv)) {
        Ref empty = new_list();
        Ref branches = meta_get(pattern, kBranches, empty.get());
        Ref types = new_list();
        Ref it = new_ref(PyObject_GetIter(branches.get()));
        while (Ref branch = Ref::steal(PyIter_Next(it.get()))) {
            Ref t = new_ref(PyObject_GetItem(branch.get(), kType.get()));
            append(types.get(), t.get());
        }
        throw_if_error();
        Py_ssize_t n = PyObject_Size(branches.get());
        if (n < 0) throw PythonError{};
        Ref label = new_ref(PyUnicode_FromFormat("RepConv (%zd branches)", n));
        return {std::move(label), join(", ", types.get())};
    }
    if (equals(type, kSpp)) {
        Ref zero = integer(0);
        Ref num_scales = meta_get(pattern, kNumScales, zero.get());
        Ref empty = new_list();
        Ref kernels = meta_get(pattern, kPoolKernels, empty.get());
        Ref texts = new_list();
        Ref it = new_ref(PyObject_GetIter(kernels.get()));
        while (Ref kernel = Ref::steal(PyIter_Next(it.get()))) {
            Ref t = truthy(kernel.get()) ? kernel_text(kernel.get()) : str("?");
            append(texts.get(), t.get());
        }
        throw_if_error();
        Ref label = wrap("SPP (", num_scales.get(), " scales)");
        Ref joined = join(", ", texts.get());
        Ref prefix = str("parallel: ");
        return {std::move(label), concat(prefix.get(), joined.get())};
    }
    if (equals(type, kSppf)) {
        Ref zero = integer(0);
        Ref depth = meta_get(pattern, kChainDepth, zero.get());
        Ref kernel = meta_get(pattern, kKernelSize, Py_None);
        Ref k = truthy(kernel.get()) ? kernel_text(kernel.get()) : str("?");
        Ref label = wrap("SPPF (depth=", depth.get(), ")");
        Ref prefix = str("sequential: ");
        return {std::move(label), concat(prefix.get(), k.get())};
    }
    if (equals(type, kSkipConnection)) {
        Ref zero = integer(0);
        Ref depth = meta_get(pattern, kProcessingDepth, zero.get());
        Ref empty = new_list();
        Ref paths = meta_get(pattern, kPathTypes, empty.get());
        Ref label = wrap("Skip (", depth.get(), " layers)");
        if (!truthy(paths.get())) return {std::move(label), str("residual")};
        Ref joined = join(" \u2192 ", paths.get());
        Ref prefix = str("bypass: ");
        return {std::move(label), concat(prefix.get(), joined.get())};
    }
    Ref nodes = attr(pattern, kNodes);
    Py_ssize_t n = PyObject_Size(nodes.get());
    if (n < 0) throw PythonError{};
    return {Ref::borrow(type), new_ref(PyUnicode_FromFormat("%zd nodes", n))};
}

// `from nivra import ir`, at call time.
Ref import_ir(Call& c) { return import_from(c.module().dict(), "nivra", "ir"); }

// The IR version, or "unknown" when the IR package or its version is missing.
Ref ir_version(Call& c) {
    try {
        Ref ir = import_ir(c);
        return attr(ir.get(), kVersionAttr);
    } catch (PythonError& e) {
        PyObject* exc = e.exc.get();
        if (!exc || !(PyErr_GivenExceptionMatches(exc, PyExc_ImportError) ||
                      PyErr_GivenExceptionMatches(exc, PyExc_AttributeError)))
            throw;
        return str("unknown");
    }
}

// --- serialize_node ---------------------------------------------------------

constexpr const char kSerializeNodeDoc[] =
    "Serialize one IR node to a JSON-ready node record.\n\n"
    "Array-valued dataclass fields go to 'params' as encoded arrays (their element\n"
    "counts summed in 'param_count'); the other fields go to 'config' through\n"
    "encode_value, leaving out None values, empty dicts and the input_type /\n"
    "output_type fields, which give 'input_shape' and 'output_shape' instead.\n"
    "Colour, glyph shape and display parameters come from the node display tables.\n\n"
    "Args:\n"
    "    name: the node's name in the graph.\n"
    "    node: the node; any object (non-dataclass nodes get empty params/config).\n\n"
    "Returns:\n"
    "    {'id', 'type', 'input_shape', 'output_shape', 'params', 'config',\n"
    "     'param_count', 'color', 'shape', 'display_params'}, plus 'hardware'\n"
    "    ({'precision', 'core_id', 'hardware_hints'}, each only when set) when the\n"
    "    node carries hardware annotations.\n\n"
    "Raises:\n"
    "    TypeError when name is not a str; errors raised reading the node's\n"
    "    attributes (other than AttributeError for optional ones) or encoding\n"
    "    its values propagate.";

Ref serialize_node(Call& c) {
    PyObject* name = c[0];
    PyObject* node = c[1];
    Ref type = type_name_of(node);
    Ref ndarray = ndarray_type(c);
    Ref input_shape = node_port(node, kInputType, kInput, ndarray.get());
    Ref output_shape = node_port(node, kOutputType, kOutput, ndarray.get());

    Ref params = new_dict();
    Ref config = new_dict();
    Ref param_count = integer(0);
    if (has_attr(node, kDataclassFields.get())) {
        Ref fields = c.global(kFields);
        Ref all = call(fields.get(), node);
        Ref it = new_ref(PyObject_GetIter(all.get()));
        while (Ref field = Ref::steal(PyIter_Next(it.get()))) {
            Ref fname = attr(field.get(), kName);
            if (equals(fname.get(), kInputType) || equals(fname.get(), kOutputType)) continue;
            Ref value = get_attr_or_none(node, fname.get());
            if (value.get() == Py_None) continue;
            if (is_instance(value.get(), ndarray.get())) {
                Ref encode = c.global(kEncodeValue);
                Ref encoded = call(encode.get(), value.get());
                check(PyDict_SetItem(params.get(), fname.get(), encoded.get()));
                Ref size = attr(value.get(), kSize);
                param_count = new_ref(PyNumber_InPlaceAdd(param_count.get(), size.get()));
                continue;
            }
            if (PyDict_Check(value.get())) {
                Py_ssize_t n = PyObject_Size(value.get());
                if (n < 0) throw PythonError{};
                if (n == 0) continue;
            }
            Ref encode = c.global(kEncodeValue);
            Ref encoded = call(encode.get(), value.get());
            check(PyDict_SetItem(config.get(), fname.get(), encoded.get()));
        }
        throw_if_error();
    }

    Ref precision = get_attr_or_none(node, kPrecision.get());
    Ref core_id = get_attr_or_none(node, kCoreId.get());
    Ref hints = get_attr_or_none(node, kHardwareHints.get());
    Ref hardware = new_dict();
    if (precision.get() != Py_None) set_item(hardware.get(), kPrecision, precision.get());
    if (core_id.get() != Py_None) set_item(hardware.get(), kCoreId, core_id.get());
    if (truthy(hints.get())) {
        Ref encode = c.global(kEncodeValue);
        Ref encoded = call(encode.get(), hints.get());
        set_item(hardware.get(), kHardwareHints, encoded.get());
    }

    Ref record = new_dict();
    set_item(record.get(), kId, name);
    set_item(record.get(), kType, type.get());
    set_item(record.get(), kInputShape, input_shape.get());
    set_item(record.get(), kOutputShape, output_shape.get());
    set_item(record.get(), kParams, params.get());
    set_item(record.get(), kConfig, config.get());
    set_item(record.get(), kParamCount, param_count.get());
    Ref color = table_get(c, kNodeColors, kDefaultNodeColor, type.get());
    set_item(record.get(), kColor, color.get());
    Ref shape = table_get(c, kNodeShapes, kDefaultNodeShape, type.get());
    set_item(record.get(), kShape, shape.get());
    Ref no_params = new_list();
    Ref display = table_get_or(c, kNodeDisplayParams, type.get(), no_params.get());
    set_item(record.get(), kDisplayParams, display.get());
    if (PyDict_GET_SIZE(hardware.get()) > 0) set_item(record.get(), kHardware, hardware.get());
    return record;
}

// --- compute_summary --------------------------------------------------------

constexpr const char kComputeSummaryDoc[] =
    "Summarize a graph in one pass over its nodes.\n\n"
    "Counts nodes, edges and parameters (the sizes of every array-valued\n"
    "dataclass field, input_type / output_type included), counts nodes per node\n"
    "type in order of first appearance, and lists the Input and Output nodes with\n"
    "their port shapes. Arrays are measured, never copied.\n\n"
    "Args:\n"
    "    graph: an object with a `nodes` mapping (name -> node) and `edges`.\n\n"
    "Returns:\n"
    "    {'node_count', 'edge_count', 'total_params', 'node_counts',\n"
    "     'inputs': [{'id', 'shape'}], 'outputs': [{'id', 'shape'}]}\n\n"
    "Raises:\n"
    "    AttributeError when the graph lacks nodes or edges (or nodes is None);\n"
    "    TypeError when edges has no length; errors raised reading node\n"
    "    attributes propagate.";

// {"id": name, "shape": port_type.get(key)} for an Input or Output node.
Ref port_entry(PyObject* name, PyObject* node, const Name& attr_name, const Name& key, PyObject* ndarray) {
    Ref shape = none();
    Ref port = optional_attr(node, attr_name);
    if (port && truthy(port.get())) {
        Ref value = call_method(port.get(), kGet, key.get());
        shape = port_shape(value.get(), ndarray);
    }
    Ref entry = new_dict();
    set_item(entry.get(), kId, name);
    set_item(entry.get(), kShape, shape.get());
    return entry;
}

Ref compute_summary(Call& c) {
    PyObject* graph = c[0];
    Ref ndarray = ndarray_type(c);
    Ref total = integer(0);
    Ref counts = new_dict();
    Ref inputs = new_list();
    Ref outputs = new_list();
    Ref kind_input = str("Input"), kind_output = str("Output");

    Ref nodes = attr(graph, kNodes);
    Ref items = call_method(nodes.get(), kItems);
    Ref it = new_ref(PyObject_GetIter(items.get()));
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref kv[2];
        unpack(pair.get(), kv, 2);
        PyObject* name = kv[0].get();
        PyObject* node = kv[1].get();
        Ref type = type_name_of(node);

        PyObject* seen = nullptr;
        Ref previous = check(compat::dict_get(counts.get(), type.get(), &seen)) == 1 ? Ref::steal(seen) : integer(0);
        Ref one = integer(1);
        Ref next = new_ref(PyNumber_Add(previous.get(), one.get()));
        check(PyDict_SetItem(counts.get(), type.get(), next.get()));

        if (Ref declared = optional_attr(node, kDataclassFields)) {
            Ref fit = new_ref(PyObject_GetIter(declared.get()));
            while (Ref fname = Ref::steal(PyIter_Next(fit.get()))) {
                Ref value = get_attr_or_none(node, fname.get());
                if (!is_instance(value.get(), ndarray.get())) continue;
                Ref size = attr(value.get(), kSize);
                total = new_ref(PyNumber_InPlaceAdd(total.get(), size.get()));
            }
            throw_if_error();
        }

        if (compare(type.get(), kind_input.get(), Py_EQ)) {
            Ref entry = port_entry(name, node, kInputType, kInput, ndarray.get());
            append(inputs.get(), entry.get());
        } else if (compare(type.get(), kind_output.get(), Py_EQ)) {
            Ref entry = port_entry(name, node, kOutputType, kOutput, ndarray.get());
            append(outputs.get(), entry.get());
        }
    }
    throw_if_error();

    Ref nodes_now = attr(graph, kNodes);
    Py_ssize_t node_count = PyObject_Size(nodes_now.get());
    if (node_count < 0) throw PythonError{};
    Ref node_count_obj = integer(node_count);
    Ref edges = attr(graph, kEdges);
    Py_ssize_t edge_count = PyObject_Size(edges.get());
    if (edge_count < 0) throw PythonError{};
    Ref edge_count_obj = integer(edge_count);

    Ref summary = new_dict();
    set_item(summary.get(), kNodeCount, node_count_obj.get());
    set_item(summary.get(), kEdgeCount, edge_count_obj.get());
    set_item(summary.get(), kTotalParams, total.get());
    set_item(summary.get(), kNodeCounts, counts.get());
    set_item(summary.get(), kInputs, inputs.get());
    set_item(summary.get(), kOutputs, outputs.get());
    return summary;
}

// --- serialize_pattern ------------------------------------------------------

constexpr const char kSerializePatternDoc[] =
    "Serialize a detected pattern to a group record.\n\n"
    "RepConv, SPP, SPPF and SkipConnection patterns get a label and subtitle built\n"
    "from their metadata (branch types, pool kernels as 5\u00d75, chain depth, bypass\n"
    "path joined with \u2192); any other type is labelled with its type and node count.\n"
    "Colour, glyph shape, icon and display parameters come from the group display\n"
    "tables. The pattern's node lists and metadata are placed in the record as\n"
    "they are.\n\n"
    "Args:\n"
    "    pattern: a PatternMatch (or any object with its attributes).\n\n"
    "Returns:\n"
    "    {'id', 'type', 'label', 'subtitle', 'nodes', 'entry_nodes', 'exit_nodes',\n"
    "     'metadata', 'color', 'shape', 'icon', 'display_params'}\n\n"
    "Raises:\n"
    "    AttributeError for a missing pattern attribute; KeyError for a RepConv\n"
    "    branch without 'type'; TypeError when a joined item is not a str;\n"
    "    IndexError for a pool kernel with fewer than two items.";

Ref serialize_pattern(Call& c) {
    PyObject* pattern = c[0];
    Ref type = attr(pattern, kPatternType);
    auto [label, subtitle] = pattern_texts(pattern, type.get());

    Ref record = new_dict();
    Ref group_id = attr(pattern, kGroupId);
    set_item(record.get(), kId, group_id.get());
    set_item(record.get(), kType, type.get());
    set_item(record.get(), kLabel, label.get());
    set_item(record.get(), kSubtitle, subtitle.get());
    for (const Name* key : {&kNodes, &kEntryNodes, &kExitNodes, &kMetadata}) {
        Ref value = attr(pattern, *key);
        set_item(record.get(), *key, value.get());
    }
    Ref color = table_get(c, kGroupColors, kDefaultGroupColor, type.get());
    set_item(record.get(), kColor, color.get());
    Ref shape = table_get(c, kGroupShapes, kDefaultGroupShape, type.get());
    set_item(record.get(), kShape, shape.get());
    Ref default_icon = str("\u25eb");
    Ref icon = table_get_or(c, kGroupIcons, type.get(), default_icon.get());
    set_item(record.get(), kIcon, icon.get());
    Ref no_params = new_list();
    Ref display = table_get_or(c, kGroupDisplayParams, type.get(), no_params.get());
    set_item(record.get(), kDisplayParams, display.get());
    return record;
}

// --- graph_to_dict ----------------------------------------------------------

constexpr const char kGraphToDictDoc[] =
    "Convert an IR graph to the graph document that the viewer page embeds.\n\n"
    "Serializes every node (serialize_node), every edge as {'source', 'target'},\n"
    "the graph metadata (encode_value), the summary (compute_summary) and, when\n"
    "detect_patterns is true, the detected pattern groups (serialize_pattern)\n"
    "with the node -> group mapping; grouped node records get a 'group' key.\n"
    "Names, edge endpoints and the node -> group mapping are placed in the\n"
    "document as they are.\n\n"
    "Args:\n"
    "    graph: an IR graph, or the str/bytes path of a stored graph (read with\n"
    "        nivra.ir.read).\n"
    "    detect_patterns: whether to detect and group architectural patterns.\n\n"
    "Returns:\n"
    "    {'version', 'nodes', 'edges', 'metadata', 'summary', 'groups',\n"
    "     'node_to_group'}; 'version' is nivra.ir.__version__ or 'unknown'.\n\n"
    "Raises:\n"
    "    ValueError for an edge that is not a pair; errors of reading a stored\n"
    "    graph, pattern detection and serialization propagate.";

Ref graph_to_dict(Call& c) {
    Ref graph = c.take(0);
    const bool detect = truthy(c[1]);

    if (PyUnicode_Check(graph.get()) || PyBytes_Check(graph.get())) {
        Ref ir = import_ir(c);
        Ref read = attr(ir.get(), kRead);
        graph = call(read.get(), graph.get());
    }
    Ref version = ir_version(c);

    Ref groups = new_list();
    Ref node_to_group = new_dict();
    if (detect) {
        Ref detect_all = c.global(kDetectAllPatterns);
        Ref patterns = call(detect_all.get(), graph.get());
        Ref build = c.global(kBuildGroupHierarchy);
        Ref hierarchy = call(build.get(), graph.get(), patterns.get());
        Ref it = new_ref(PyObject_GetIter(patterns.get()));
        while (Ref pattern = Ref::steal(PyIter_Next(it.get()))) {
            Ref fn = c.global(kSerializePattern);
            Ref record = call(fn.get(), pattern.get());
            append(groups.get(), record.get());
        }
        throw_if_error();
        node_to_group = new_ref(PyObject_GetItem(hierarchy.get(), kNodeToGroup.get()));
    }

    Ref nodes = new_list();
    {
        Ref mapping = attr(graph.get(), kNodes);
        Ref items = call_method(mapping.get(), kItems);
        Ref it = new_ref(PyObject_GetIter(items.get()));
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            Ref kv[2];
            unpack(pair.get(), kv, 2);
            Ref fn = c.global(kSerializeNode);
            Ref record = call(fn.get(), kv[0].get(), kv[1].get());
            if (check(PySequence_Contains(node_to_group.get(), kv[0].get()))) {
                Ref group = new_ref(PyObject_GetItem(node_to_group.get(), kv[0].get()));
                check(PyObject_SetItem(record.get(), kGroup.get(), group.get()));
            }
            append(nodes.get(), record.get());
        }
        throw_if_error();
    }

    Ref edges = new_list();
    {
        Ref all = attr(graph.get(), kEdges);
        Ref it = new_ref(PyObject_GetIter(all.get()));
        while (Ref edge = Ref::steal(PyIter_Next(it.get()))) {
            Ref ends[2];
            unpack(edge.get(), ends, 2);
            Ref record = new_dict();
            set_item(record.get(), kSource, ends[0].get());
            set_item(record.get(), kTarget, ends[1].get());
            append(edges.get(), record.get());
        }
        throw_if_error();
    }

    Ref metadata = new_dict();
    Ref graph_meta = optional_attr(graph.get(), kMetadata);
    if (graph_meta && truthy(graph_meta.get())) {
        Ref encode = c.global(kEncodeValue);
        metadata = call(encode.get(), graph_meta.get());
    }

    Ref doc = new_dict();
    set_item(doc.get(), kVersion, version.get());
    set_item(doc.get(), kNodes, nodes.get());
    set_item(doc.get(), kEdges, edges.get());
    set_item(doc.get(), kMetadata, metadata.get());
    Ref summarize = c.global(kComputeSummary);
    Ref summary = call(summarize.get(), graph.get());
    set_item(doc.get(), kSummary, summary.get());
    set_item(doc.get(), kGroups, groups.get());
    set_item(doc.get(), kNodeToGroup, node_to_group.get());
    return doc;
}

// --- module -----------------------------------------------------------------

void body(Module& m) {
    m.import_from("dataclasses", {"fields"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional", "Union"});
    m.import_as("numpy", "np");
    m.import_from("encode", {"encode_value", "format_shape"}, 1);
    m.import_from("constants",
                  {"NODE_COLORS", "NODE_SHAPES", "NODE_DISPLAY_PARAMS", "DEFAULT_NODE_COLOR",
                   "DEFAULT_NODE_SHAPE", "GROUP_COLORS", "GROUP_SHAPES", "GROUP_ICONS",
                   "GROUP_DISPLAY_PARAMS", "DEFAULT_GROUP_COLOR", "DEFAULT_GROUP_SHAPE"},
                  1);
    m.import_from("patterns",
                  {"detect_all_patterns", "build_group_hierarchy", "PatternMatch", "detect_repconv_patterns"},
                  1);
}

const Def kDefs[] = {
    NIVRA_DEF("serialize_node(str name: str, node: Any) -> Dict[str, Any]", serialize_node, kSerializeNodeDoc),
    NIVRA_DEF("compute_summary(graph: Any) -> Dict[str, Any]", compute_summary, kComputeSummaryDoc),
    NIVRA_DEF("serialize_pattern(pattern: PatternMatch) -> Dict[str, Any]", serialize_pattern,
              kSerializePatternDoc),
    NIVRA_DEF("graph_to_dict(graph: Any, bool detect_patterns: bool = True) -> Dict[str, Any]", graph_to_dict,
              kGraphToDictDoc),
};

constexpr const char kModuleDoc[] =
    "Graph serialization for nivra.viz.\n\n"
    "Turns an IR graph into the graph document that the viewer page embeds as\n"
    "JSON: one record per node (type, port shapes, parameters as encoded arrays,\n"
    "configuration, display attributes, hardware annotations), one per edge, the\n"
    "graph metadata, a summary, and the detected architectural patterns as\n"
    "collapsible groups.";

}  // namespace

NIVRA_MODULE(serialize, kModuleDoc, body, kDefs)
