"""render_html on a large graph document vs the same page made with four str.replace steps.

Checks first that both give the same page (the baseline with the script-safe JSON
escaping added), then times both in the same run and prints the times, the
throughput, the ratio and the peak memory each needs beyond its inputs.
"""
import base64
import json
import pathlib
import random
import tempfile
import time
import tracemalloc

from nivra.viz import render

TEMPLATE = (
    "<!DOCTYPE html><html><head><meta charset='utf-8'><title>{{TITLE}}</title>\n"
    "<style>" + "body { margin: 0; } .n { fill: #fff; }\n" * 400 + "</style></head>\n"
    "<body><div id='app' style='width:{{WIDTH}}px;height:{{HEIGHT}}px'></div>\n"
    "<script>const DATA = {{DATA_JSON}};\n" + "function f(x) { return x + 1; }\n" * 800 +
    "</script></body></html>\n"
)


def document(n_nodes, seed=0):
    rng = random.Random(seed)
    payload = base64.b64encode(bytes(rng.getrandbits(8) for _ in range(300))).decode()
    nodes = [{"id": f"layer{i}", "type": "LIF", "shape": "box", "color": "#4CAF50",
              "params": {"w": {"shape": [10, 10], "dtype": "float32", "data": payload,
                               "stats": {"min": -1.0, "max": 1.0, "mean": 0.0, "std": 0.5}, "size": 100}},
              "label": "é <b> & ok"} for i in range(n_nodes)]
    edges = [{"source": f"layer{i}", "target": f"layer{i + 1}"} for i in range(n_nodes - 1)]
    return {"version": "0.1", "nodes": nodes, "edges": edges, "metadata": {}, "summary": {}}


def baseline(data, title, width=1200, height=800, safe=False):
    template = render.load_template("viewer.html")
    data_json = json.dumps(data, ensure_ascii=False)
    if safe:
        for ch, esc in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"),
                        ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
            data_json = data_json.replace(ch, esc)
    html = template.replace("{{TITLE}}", render._escape_html(title))
    html = html.replace("{{DATA_JSON}}", data_json)
    html = html.replace("{{WIDTH}}", str(width))
    return html.replace("{{HEIGHT}}", str(height))


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def peak(fn):
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    fn()
    top = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return top - base


def main():
    directory = pathlib.Path(tempfile.mkdtemp())
    (directory / "viewer.html").write_text(TEMPLATE, encoding="utf-8")
    render.TEMPLATES_DIR = directory
    data = document(40_000)
    title = "Bench <graph>"

    ours = render.render_html(data, title=title)
    assert ours == baseline(data, title, safe=True), "render_html differs from the step-by-step page"
    json_text = json.dumps(data, ensure_ascii=False)
    mb = len(ours.encode()) / 1e6
    print(f"document: {len(data['nodes'])} nodes, JSON {len(json_text) / 1e6:.1f} MB, page {mb:.1f} MB")

    t_ours = best(lambda: render.render_html(data, title=title))
    t_base = best(lambda: baseline(data, title))
    t_safe = best(lambda: baseline(data, title, safe=True))
    print(f"whole page, render_html (one-pass fill, escaped): {t_ours * 1e3:8.1f} ms  {mb / t_ours:7.1f} MB/s")
    print(f"whole page, four str.replace steps (unescaped):   {t_base * 1e3:8.1f} ms  {mb / t_base:7.1f} MB/s")
    print(f"whole page, str.replace steps + JSON escaping:    {t_safe * 1e3:8.1f} ms  {mb / t_safe:7.1f} MB/s")
    print(f"ratio, whole page: {t_base / t_ours:.2f}x (vs escaped baseline {t_safe / t_ours:.2f}x)")

    # The fill alone: the JSON text made once, handed to both.
    class Precomputed:
        @staticmethod
        def dumps(obj, **kwargs):
            return json_text
    real_json, real_dumps = render.json, json.dumps
    render.json = Precomputed
    json.dumps = Precomputed.dumps
    try:
        assert render.render_html(data, title=title) == baseline(data, title, safe=True)
        f_ours = best(lambda: render.render_html(data, title=title), repeat=9)
        f_base = best(lambda: baseline(data, title), repeat=9)
        f_safe = best(lambda: baseline(data, title, safe=True), repeat=9)
    finally:
        render.json, json.dumps = real_json, real_dumps
    print(f"fill only, render_html:                 {f_ours * 1e3:8.1f} ms  {mb / f_ours:7.1f} MB/s")
    print(f"fill only, four str.replace steps:      {f_base * 1e3:8.1f} ms  {mb / f_base:7.1f} MB/s")
    print(f"fill only, str.replace steps + escaping: {f_safe * 1e3:7.1f} ms  {mb / f_safe:7.1f} MB/s")
    print(f"ratio, fill only: {f_base / f_ours:.2f}x (vs escaped baseline {f_safe / f_ours:.2f}x)")

    page_mb = len(ours) / 1e6  # 1 byte per character here
    p_ours = peak(lambda: render.render_html(data, title=title)) / 1e6
    p_base = peak(lambda: baseline(data, title)) / 1e6
    print(f"peak memory beyond inputs: render_html {p_ours:.1f} MB, str.replace steps {p_base:.1f} MB "
          f"(page {page_mb:.1f} MB, JSON {len(json_text) / 1e6:.1f} MB)")


if __name__ == "__main__":
    main()
