// viz/compiled/schedule.cpp: the execution-schedule page, one timeline row per core,
// built line by line.
#include "compiled.h"

#include "frame/compat.h"    // lookup_attr: a missing attribute told apart from None
#include "frame/text.h"      // escape_html for the page's texts

namespace nivra::compiled {

const char kVisualizeExecutionScheduleDoc[] =
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

namespace {

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

}  // namespace

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
        write_text_utf8(c[1], html.get());
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
    write_text_utf8(c[1], html.get());
    return c.take(1);
}

}  // namespace nivra::compiled
