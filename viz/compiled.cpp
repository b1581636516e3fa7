// viz/compiled.cpp: views of a partitioned IR graph: the partition view page and the execution-schedule page.
//
// The views are written in viz/compiled/ (see compiled/compiled.h); this file holds the
// module-level names, the colour tables, the module body and the function table.
#include "compiled/compiled.h"

using namespace nivra;
using namespace nivra::compiled;

namespace nivra::compiled {

// Module-level names, looked up at each use.
const Name kGraphToDict("graph_to_dict"), kRenderHtml("render_html"), kNodeTypeColor("_node_type_color");
const Name kNodeTypeColors("NODE_TYPE_COLORS"), kDefaultNodeColor("_DEFAULT_NODE_COLOR");
const Name kCoreBoundaryColors("CORE_BOUNDARY_COLORS");
// Builtins, reached through the module like any global.
const Name kFormat("format"), kSum("sum"), kMax("max");

}  // namespace nivra::compiled

namespace {

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

// ---- the module body ---------------------------------------------------------------

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

// ---- the function table, in binding order ------------------------------------------

const Def kDefs[] = {
    NIVRA_DEF("_node_type_color(node: ir.Node) -> str", node_type_color, kNodeTypeColorDoc),
    NIVRA_DEF("visualize_partitioned(graph: ir.Graph, str output_path: str, str title: str = 'Partitioned Graph') -> str",
              visualize_partitioned, kVisualizePartitionedDoc),
    NIVRA_DEF("visualize_execution_schedule(graph: ir.Graph, str output_path: str, "
              "str title: str = 'Execution Schedule', profile_result: Optional[Any] = None) -> str",
              visualize_execution_schedule, kVisualizeExecutionScheduleDoc),
    NIVRA_DEF("_partition_document(graph: ir.Graph) -> Dict[str, Any]", partition_document,
              kPartitionDocumentDoc),
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
