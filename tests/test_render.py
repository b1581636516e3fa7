"""nivra.viz.render: template loading, the one-pass page fill, JSON and HTML escaping, arguments."""
import json
import math
import pathlib
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import sweep_support as s
from nivra.viz import render


# ---- the reference: the page made step by step with str.replace -------------

def escape_model(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&#x27;"))


def page_model(template, title, data_json, width, height):
    html = template.replace("{{TITLE}}", s.model_title(escape_model(title)))
    html = html.replace("{{DATA_JSON}}", s.model_script_json(data_json))
    html = html.replace("{{WIDTH}}", str(width))
    return html.replace("{{HEIGHT}}", str(height)).replace(s.KEPT, "{{DATA_JSON}}")


@pytest.fixture
def templates(tmp_path, monkeypatch):
    """A templates directory of our own; returns a function writing viewer.html."""
    monkeypatch.setattr(render, "TEMPLATES_DIR", tmp_path)

    def write(text, name="viewer.html"):
        (tmp_path / name).write_text(text, encoding="utf-8")
        return tmp_path / name
    return write


class FixedJson:
    """Stands in for the json module: dumps returns a given text."""

    def __init__(self, text):
        self.text = text
        self.calls = []

    def dumps(self, data, **kwargs):
        self.calls.append(kwargs)
        return self.text


# ---- module ------------------------------------------------------------------

def test_module_names_in_binding_order():
    names = [n for n in vars(render) if not n.startswith("__")]
    assert names == ["json", "Path", "Any", "Dict", "Optional", "TEMPLATES_DIR",
                     "load_template", "render_html", "_escape_html"]
    assert render.json is json and render.Path is pathlib.Path
    assert render.TEMPLATES_DIR == pathlib.Path(render.__file__).parent / "templates"
    assert render.__doc__.splitlines()[0] == "HTML rendering for nivra.viz."
    assert render.render_html.__annotations__ == {
        "data": "Dict[str, Any]", "title": "str", "width": "int", "height": "int", "return": "str"}
    assert render.render_html.__defaults__ == ("nivra.viz", 1200, 800)


# ---- _escape_html ----------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ('<">&\'', "&lt;&quot;&gt;&amp;&#x27;"),
    ("&lt;", "&amp;lt;"),
    ("", ""),
    ("plain é ☃ 𝄞", "plain é ☃ 𝄞"),
    ("a<b>c", "a&lt;b&gt;c"),
    ("😀&😀", "😀&amp;😀"),
    ("ÿ'ÿ", "ÿ&#x27;ÿ"),
])
def test_escape_html(text, expected):
    assert render._escape_html(text) == expected


@given(st.text(alphabet=st.sampled_from("&<>\"'a é☃𝄞;#x")))
def test_escape_html_matches_the_five_replacements(text):
    assert render._escape_html(text) == escape_model(text)


def test_escape_html_arguments():
    with pytest.raises(TypeError, match=r"Argument 'text' has incorrect type \(expected str, got bytes\)"):
        render._escape_html(b"<")

    class S(str):
        pass
    with pytest.raises(TypeError) as info:
        render._escape_html(S("<"))
    assert info.value.__notes__


# ---- load_template ----------------------------------------------------------------

def test_load_template_reads_utf8_each_call(templates):
    path = templates("é {{TITLE}}")
    assert render.load_template("viewer.html") == "é {{TITLE}}"
    path.write_text("changed", encoding="utf-8")
    assert render.load_template("viewer.html") == "changed"


def test_load_template_missing_message(templates, tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        render.load_template("missing.html")
    assert info.value.args == ("Template not found: " + str(tmp_path / "missing.html"),)


def test_load_template_follows_rebinding_and_absolute_names(tmp_path, monkeypatch):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    (a / "viewer.html").write_text("from a", encoding="utf-8")
    (b / "viewer.html").write_text("from b {{WIDTH}}", encoding="utf-8")
    monkeypatch.setattr(render, "TEMPLATES_DIR", a)
    assert render.render_html({}) == "from a"
    monkeypatch.setattr(render, "TEMPLATES_DIR", b)
    assert render.render_html({}, width=5) == "from b 5"
    assert render.load_template(str(a / "viewer.html")) == "from a"


def test_load_template_errors_propagate(templates, tmp_path):
    (tmp_path / "bad.html").write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        render.load_template("bad.html")
    (tmp_path / "dir.html").mkdir()
    with pytest.raises(OSError):
        render.load_template("dir.html")


# ---- render_html: documented examples ------------------------------------------------

def test_render_documented_examples(templates):
    templates("{{TITLE}}|{{WIDTH}}x{{HEIGHT}}|{{DATA_JSON}}")
    assert render.render_html({}) == "nivra.viz|1200x800|{}"
    assert render.render_html({"a": [1, 2]}, title="A<B", width=640.7) == 'A&lt;B|640x800|{"a": [1, 2]}'
    assert render.render_html({}, title="{{DATA_JSON}}") == "{}|1200x800|{}"
    assert render.render_html({}, width=True, height=np.int16(7)) == "nivra.viz|1x7|{}"


def test_template_without_placeholders_unchanged(templates):
    templates("<p>{{ TITLE }} {TITLE} {{title}}</p>\n")
    assert render.render_html({"x": 1}) == "<p>{{ TITLE }} {TITLE} {{title}}</p>\n"


@pytest.mark.parametrize("template, title, data, expected", [
    # placeholders arriving in the title get every later step
    ("[{{TITLE}}]", "{{WIDTH}}{{HEIGHT}}{{TITLE}}", {}, "[1200800{{TITLE}}]"),
    # braces inside the document's strings are written escaped: no placeholder arrives with it
    ("{{DATA_JSON}}", {}, {"{{WIDTH}}": "{{TITLE}}"}, '{"\\u007b\\u007bWIDTH}}": "\\u007b\\u007bTITLE}}"}'),
    # placeholders formed across the edges of inserted text
    ("{{DATA_{{TITLE}}", "JSON}}", {"k": 0}, '{"k": 0}'),
    ("{{WID{{TITLE}}", "TH}}", {}, "1200"),
    ("{{HEI{{TITLE}}GHT}}", "{{WIDTH}}", {}, "{{HEI1200GHT}}"),
    ("{{TITLE}}{{TITLE}}", "{{", {}, "{{{{"),
    ("{{TITLE}}DATA_JSON}}", "{{", {"a": 1}, '{"a": 1}'),
    # the title brings the document in once: later placeholders of it stay text
    ("[{{TITLE}}]", "{{DATA_JSON}}<{{DATA_JSON}}{{DATA_JSON}}", {"k": 0},
     '[{"k": 0}&lt;{{DATA_JSON}}{{DATA_JSON}}]'),
    ("{{{{TITLE}}}}", "WIDTH", {}, "1200"),
])
def test_cascading_substitutions(templates, template, title, data, expected):
    templates(template)
    if isinstance(title, dict):
        title = "nivra.viz"
    assert render.render_html(data, title=title) == expected
    assert expected == page_model(template, title, json.dumps(data, ensure_ascii=False), 1200, 800)


# ---- render_html vs the step-by-step model (Hypothesis) ---------------------------------

FRAGMENTS = ["{{", "}}", "{", "}", "TITLE", "DATA_JSON", "DATA_", "JSON", "WIDTH", "HEIGHT",
             "{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}", "{{WID", "TH}}", "{{HEI", "GHT}}",
             "x", " ", "<", ">", "&", "'", '"', "\\", "é", "ÿ", "\u2028", "\u2029", "☃", "𝄞", "</script>"]
texts = st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join)
numbers = st.integers(min_value=-10**6, max_value=10**30)


@settings(max_examples=400, deadline=None)
@given(template=texts, title=texts, data_json=texts, width=numbers, height=numbers)
def test_page_matches_step_by_step_model(template, title, data_json, width, height):
    with pytest.MonkeyPatch.context() as m:
        m.setattr(render, "load_template", lambda name: template)
        m.setattr(render, "json", FixedJson(data_json))
        page = render.render_html({}, title=title, width=width, height=height)
    assert page == page_model(template, title, data_json, width, height)


@settings(max_examples=150, deadline=None)
@given(template=texts, title=texts,
       data=st.dictionaries(texts, st.one_of(texts, st.integers(), st.floats(), st.none(),
                                             st.lists(texts, max_size=3)), max_size=4))
def test_page_from_template_file_matches_model(tmp_path_factory, template, title, data):
    directory = tmp_path_factory.mktemp("t")
    (directory / "viewer.html").write_text(template, encoding="utf-8")
    saved = render.TEMPLATES_DIR
    render.TEMPLATES_DIR = directory
    try:
        page = render.render_html(data, title=title)
    finally:
        render.TEMPLATES_DIR = saved
    assert page == page_model(template, title, json.dumps(data, ensure_ascii=False), 1200, 800)


def test_big_texts_and_all_kinds(monkeypatch):
    # Large pieces go through the released-lock path; the result kind must be
    # the smallest that holds it (otherwise equality with the model fails).
    body = "{{WIDTH}}<" + "x" * 200_000 + "\u2028{{HEIGHT}}"
    cases = [
        ("{{DATA_JSON}}", "t", body),
        ("ÿ{{DATA_JSON}}", "t", body),
        ("{{DATA_JSON}}", "☃", body),        # title unused: page stays 1-byte
        ("{{TITLE}}{{DATA_JSON}}", "𝄞", body),
        ("{{DATA_JSON}}" * 3, "t", "é" + body + "☃"),
        ("a{{DATA_JSON}}b", "t", "\u2028\u2029"),  # only escaped wide chars: ASCII page
    ]
    for template, title, data_json in cases:
        monkeypatch.setattr(render, "load_template", lambda name, t=template: t)
        monkeypatch.setattr(render, "json", FixedJson(data_json))
        page = render.render_html({}, title=title, width=3, height=4)
        assert page == page_model(template, title, data_json, 3, 4)
    assert render.render_html({}, title="t").isascii()


# Each scanner has a vector path (blocks of 16 and 64 one-byte characters) and a
# character loop (tails, two- and four-byte text): every escaped character and
# placeholder at the start, inside, at the end and across each block boundary.
FILLERS = {1: "abcdefg\u00e9" * 25, 2: "abcdefg\u2603" * 25, 4: "abcdefg\U0001F600" * 25}
# The last four open a JSON string (its braces are escaped) or not, through runs of backslashes.
INSERTS = ["<", ">", "&", "\u2028", "\u2029", "{{WIDTH}}", "{{HEIGHT}}",
           '"{"{', '"{{WIDTH}}', '\\"{{WIDTH}}', '\\\\"{{HEIGHT}}']
SPOTS = [0, 1, 8, 15, 16, 17, 31, 32, 56, 60, 62, 63, 64, 65, 127, 128, 199, 200]


@pytest.mark.parametrize("width", sorted(FILLERS))
def test_every_scanner_path(monkeypatch, width):
    template = "{{TITLE}}|{{DATA_JSON}}|{{WIDTH}}"
    monkeypatch.setattr(render, "load_template", lambda name: template)
    filler = FILLERS[width]
    for insert in INSERTS:
        for spot in SPOTS:
            text = filler[:spot] + insert + filler[spot:]
            for data_json in (text, Sub(text)):  # the one-pass fill, and the escaping on its own
                monkeypatch.setattr(render, "json", FixedJson(data_json))
                page = render.render_html({}, title=text, width=7, height=9)
                assert page == page_model(template, text, text, 7, 9), (insert, spot, type(data_json))
            assert render._escape_html(text) == escape_model(text)


@pytest.mark.parametrize("template, data_json, expected", [
    ("{{DATA_JSON}}TH}}", '{{WID', "1200"),                                   # outside strings: replaced
    ("{{DATA_JSON}}TH}}", '"{{WID', '"\\u007b\\u007bWIDTH}}'),               # inside: kept as data
    ("{{WID{{DATA_JSON}}", 'TH}}"{', '1200"\\u007b'),
    ("{{DATA_JSON}}", '"\\\\"{{HEIGHT}}', '"\\\\"800'),                     # the string closed before it
])
def test_placeholders_across_the_edges_of_the_json_text(monkeypatch, template, data_json, expected):
    monkeypatch.setattr(render, "load_template", lambda name: template)
    monkeypatch.setattr(render, "json", FixedJson(data_json))
    assert render.render_html({}) == expected == page_model(template, "", data_json, 1200, 800)


def test_rebound_helpers_are_used(monkeypatch, templates):
    templates("{{TITLE}}|{{DATA_JSON}}")
    fake = FixedJson("J")
    monkeypatch.setattr(render, "json", fake)
    monkeypatch.setattr(render, "_escape_html", lambda t: "<" + t + ">")
    assert render.render_html({}, title="T") == "<T>|J"
    assert fake.calls == [{"ensure_ascii": False}]


class Sub(str):
    pass


@pytest.mark.parametrize("template, data_json", [
    (Sub("{{TITLE}}|{{DATA_JSON}}|{{WIDTH}}"), "{\"<{{WIDTH}}\u2028\": 1}"),
    ("{{TITLE}}|{{DATA_JSON}}|{{WIDTH}}", Sub("{\"<{{WIDTH}}\u2028\": 1}")),
    ("{{DATA_JSON}}", Sub("plain")),
])
def test_str_subclass_pieces_give_the_same_page(monkeypatch, template, data_json):
    monkeypatch.setattr(render, "load_template", lambda name: template)
    monkeypatch.setattr(render, "json", FixedJson(data_json))
    page = render.render_html({}, title="t<", width=9)
    assert type(page) is str
    assert page == page_model(str(template), "t<", str(data_json), 9, 800)


def test_non_str_pieces_fail_like_str_replace(monkeypatch, templates):
    templates("{{DATA_JSON}}")
    monkeypatch.setattr(render, "json", FixedJson(42))
    with pytest.raises(TypeError, match="replace\\(\\) argument 2 must be str, not int"):
        render.render_html({})
    monkeypatch.setattr(render, "load_template", lambda name: b"bytes")
    with pytest.raises(TypeError):
        render.render_html({})


# ---- JSON inside the page -------------------------------------------------------------------

def test_hostile_names_stay_inside_the_json_string(templates):
    templates("<script>const DATA = {{DATA_JSON}};</script>")
    data = {"nodes": [{"id": "</script><script>alert(1)</script>"}, {"id": "<!-- & -->"}],
            "sep": "a\u2028b\u2029c"}
    page = render.render_html(data)
    inner = page[len("<script>const DATA = "):-len(";</script>")]
    assert "<" not in inner and ">" not in inner and "&" not in inner
    assert "\u2028" not in inner and "\u2029" not in inner
    assert page.count("</script>") == 1
    assert json.loads(inner) == data


def test_placeholders_in_the_document_stay_data_and_titles_still_receive_them(templates):
    templates("<title>{{TITLE}}</title><script>const DATA = {{DATA_JSON}};</script>{{WIDTH}}")
    data = {"nodes": [{"id": "{{WIDTH}}"}, {"id": "1200"}, {"id": "{{HEIGHT}}", "cfg": "{{DATA_JSON}}{x}"}],
            "edges": [{"source": "{{WIDTH}}", "target": "1200"}]}
    page = render.render_html(data, title="{{WIDTH}}x{{HEIGHT}} {{DATA_JSON}}")
    head, rest = page.split("<script>const DATA = ")
    inner, width = rest.split(";</script>")
    assert json.loads(inner) == data and width == "1200"
    assert [n["id"] for n in json.loads(inner)["nodes"]] == ["{{WIDTH}}", "1200", "{{HEIGHT}}"]
    assert "{{" not in inner and inner.startswith('{"nodes": [{"id": "\\u007b\\u007bWIDTH}}"}')
    # the title's own placeholders are replaced as before, the document inside it included
    assert head == "<title>1200x800 " + inner + "</title>"


def test_json_text_keeps_utf8_nan_and_insertion_order(templates):
    templates("{{DATA_JSON}}")
    page = render.render_html({"z": "é", "a": float("nan"), "b": [math.inf, -math.inf]})
    assert page == '{"z": "é", "a": NaN, "b": [Infinity, -Infinity]}'


def test_json_errors_propagate(templates):
    templates("{{DATA_JSON}}")
    with pytest.raises(TypeError):
        render.render_html({"s": {1, 2}})
    loop = {}
    loop["self"] = loop
    with pytest.raises(ValueError):
        render.render_html(loop)


def test_missing_template_propagates(templates, tmp_path):
    with pytest.raises(FileNotFoundError, match="Template not found: "):
        render.render_html({})


# ---- arguments --------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs, message", [
    ({"title": None}, "Argument 'title' has incorrect type (expected str, got NoneType)"),
    ({"width": "800"}, "Argument 'width' has incorrect type (expected int, got str)"),
    ({"height": None}, "Argument 'height' has incorrect type (expected int, got NoneType)"),
])
def test_argument_types(templates, kwargs, message):
    templates("")
    with pytest.raises(TypeError) as info:
        render.render_html({}, **kwargs)
    assert str(info.value) == message


def test_width_conversion_runs_before_type_tests(templates):
    templates("")
    with pytest.raises(TypeError, match="'width'"):
        render.render_html([], title=None, width="1")
    with pytest.raises(TypeError, match="'data'"):
        render.render_html([], title=None, width=1.5)
    with pytest.raises(OverflowError):
        render.render_html({}, width=float("inf"))


def test_count_message():
    with pytest.raises(TypeError) as info:
        render.render_html()
    assert str(info.value) == "render_html() takes at least 1 positional argument (0 given)"


def test_refcounts_stable(templates):
    templates("{{TITLE}}{{DATA_JSON}}{{WIDTH}}")
    data, title = {"a": "<x>"}, "t<"
    before = sys.getrefcount(data), sys.getrefcount(title)
    for _ in range(100):
        render.render_html(data, title=title)
    assert (sys.getrefcount(data), sys.getrefcount(title)) == before
