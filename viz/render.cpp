// viz/render.cpp: graph document -> standalone graph viewer page, through the viewer.html template.
#include "frame/frame.h"     // Ref, Call, Module, the function table
#include "frame/text.h"      // text_of, escape_html
#include "kernels/page.h"    // plan_page, write_page, escape_json

using namespace nivra;

namespace {

const Name kJson("json"), kPath("Path"), kTemplatesDir("TEMPLATES_DIR"), kFile("__file__");
const Name kLoadTemplate("load_template"), kEscapeHtml("_escape_html");
const Name kDumps("dumps"), kEnsureAscii("ensure_ascii"), kExists("exists");
const Name kReplace("replace");
const Name kTitleMark("{{TITLE}}"), kDataMark("{{DATA_JSON}}"), kWidthMark("{{WIDTH}}"), kHeightMark("{{HEIGHT}}");

// Pages at least this large are planned and written with the interpreter lock released.
constexpr std::size_t kReleaseGilChars = 1 << 16;

[[noreturn]] void page_failed(kernels::PageStatus status) {
    if (status == kernels::PageStatus::NoMemory) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    if (status == kernels::PageStatus::TooLarge) raise(PyExc_OverflowError, "page too large");
    raise(PyExc_SystemError, "viewer page length differs from its plan");
}

// --- load_template ----------------------------------------------------------

constexpr const char kLoadTemplateDoc[] =
    "Read a template file from the templates directory.\n\n"
    "The directory is the module attribute TEMPLATES_DIR, read at every call, so\n"
    "rebinding it redirects later loads. The file is read anew each time.\n\n"
    "Args:\n"
    "    name: file name inside TEMPLATES_DIR (an absolute path replaces the\n"
    "        directory, as with any path join).\n\n"
    "Returns:\n"
    "    The file's text, decoded as UTF-8.\n\n"
    "Raises:\n"
    "    FileNotFoundError: 'Template not found: <path>' when the file does not exist.\n"
    "    OSError, UnicodeDecodeError: when it cannot be read or is not UTF-8.";

Ref load_template(Call& c) {
    Ref dir = c.global(kTemplatesDir);
    Ref path = new_ref(PyNumber_TrueDivide(dir.get(), c[0]));
    Ref exists = call_method(path.get(), kExists);
    if (!truthy(exists.get())) {
        Ref shown = new_ref(PyObject_Str(path.get()));
        Ref message = new_ref(PyUnicode_FromFormat("Template not found: %U", shown.get()));
        PyErr_SetObject(PyExc_FileNotFoundError, message.get());
        throw PythonError{};
    }
    return read_text_utf8(path.get());
}

// --- render_html --------------------------------------------------------------

constexpr const char kRenderHtmlDoc[] =
    "Render a graph document as a standalone graph viewer page.\n\n"
    "Fills the viewer.html template: every {{TITLE}} becomes the HTML-escaped\n"
    "title, then every {{DATA_JSON}} the document as JSON text\n"
    "(json.dumps(data, ensure_ascii=False)), then every {{WIDTH}} and {{HEIGHT}}\n"
    "the numbers in decimal. Each step acts on the text the previous one made, so\n"
    "a title holding {{DATA_JSON}} receives the JSON (at its first one only; later\n"
    "ones stay as text) and one holding {{WIDTH}} the width; the page is built in\n"
    "one pass with that same result. Inside the JSON\n"
    "text, < > & U+2028 U+2029 are written as \\u003c \\u003e \\u0026 \\u2028\n"
    "\\u2029 and every { inside a string as \\u007b: the same document, no string\n"
    "in it can end the script element it sits in, and no placeholder occurs in it\n"
    "(a node named {{WIDTH}} keeps its name).\n\n"
    "Args:\n"
    "    data: the graph document (a dict of JSON-serialisable values).\n"
    "    title: page title.\n"
    "    width, height: initial viewport size; other numbers go through int().\n\n"
    "Returns:\n"
    "    The page text.\n\n"
    "Raises:\n"
    "    FileNotFoundError: the template is missing.\n"
    "    TypeError, ValueError: from the JSON encoder for values JSON cannot hold.";

// The four replacements made by the objects' own replace methods, for texts
// that are not plain str (a rebound json, load_template or _escape_html).
Ref render_generic(PyObject* tmpl, PyObject* title, PyObject* json, PyObject* width, PyObject* height) {
    Ref html = call_method(tmpl, kReplace, kTitleMark.get(), title);
    html = call_method(html.get(), kReplace, kDataMark.get(), json);
    html = call_method(html.get(), kReplace, kWidthMark.get(), width);
    return call_method(html.get(), kReplace, kHeightMark.get(), height);
}

Ref render_html(Call& c) {
    Ref load = c.global(kLoadTemplate);
    Ref name = str("viewer.html");
    Ref tmpl = call(load.get(), name.get());

    Ref json_module = c.global(kJson);
    Ref dumps = attr(json_module.get(), kDumps);
    Ref data_json = call_kw(dumps.get(), {c[0]}, {{&kEnsureAscii, Py_False}});

    Ref escape = c.global(kEscapeHtml);
    Ref title = call(escape.get(), c[1]);
    Ref width = new_ref(PyObject_Str(c[2]));
    Ref height = new_ref(PyObject_Str(c[3]));

    for (PyObject* s : {tmpl.get(), title.get(), data_json.get(), width.get(), height.get()}) {
        if (PyUnicode_CheckExact(s)) continue;
        if (PyUnicode_Check(data_json.get()))
            data_json = escape_json_for_script(data_json.get(), kernels::JsonBraces::InStrings);
        return render_generic(tmpl.get(), title.get(), data_json.get(), width.get(), height.get());
    }

    kernels::PagePlan plan;
    const kernels::Text tt = text_of(tmpl.get()), ti = text_of(title.get()), tj = text_of(data_json.get());
    const kernels::Text tw = text_of(width.get()), th = text_of(height.get());
    const bool big = tt.length + tj.length >= kReleaseGilChars;
    kernels::PageStatus status;
    {
        ReleaseGil nogil(big);
        status = kernels::plan_page(tt, ti, tj, tw, th, plan);
    }
    if (status != kernels::PageStatus::Ok) page_failed(status);
    if (plan.length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) page_failed(kernels::PageStatus::TooLarge);
    Ref page = new_ref(PyUnicode_New(static_cast<Py_ssize_t>(plan.length), plan.max_char));
    {
        ReleaseGil nogil(big);
        status = kernels::write_page(plan, PyUnicode_DATA(page.get()), PyUnicode_KIND(page.get()));
    }
    if (status != kernels::PageStatus::Ok) page_failed(status);
    return page;
}

// --- _escape_html -------------------------------------------------------------

constexpr const char kEscapeHtmlDoc[] =
    "Escape the five HTML-special characters of a text.\n\n"
    "& becomes &amp;, < &lt;, > &gt;, \" &quot; and ' &#x27; (the ampersand\n"
    "first, so an existing entity is escaped again: &lt; becomes &amp;lt;).\n\n"
    "Args:\n"
    "    text: the text.\n\n"
    "Returns:\n"
    "    The escaped text (the text itself when it has none of the five).";

Ref escape_html(Call& c) { return nivra::escape_html(c.take(0)); }

// --- module ---------------------------------------------------------------------

void body(Module& m) {
    m.import_as("json", "json");
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "Optional"});
    Ref path = m.global(kPath);
    Ref file = m.global(kFile);
    Ref dir = templates_beside(path.get(), file.get());
    m.set("TEMPLATES_DIR", dir.get());
}

const Def kDefs[] = {
    NIVRA_DEF("load_template(str name: str) -> str", load_template, kLoadTemplateDoc),
    NIVRA_DEF("render_html(dict data: Dict[str, Any], str title: str = 'nivra.viz', int width: int = 1200, "
              "int height: int = 800) -> str",
              render_html, kRenderHtmlDoc),
    NIVRA_DEF("_escape_html(str text: str) -> str", escape_html, kEscapeHtmlDoc),
};

constexpr const char kModuleDoc[] =
    "HTML rendering for nivra.viz.\n\n"
    "Turns a graph document into the graph viewer page: the viewer.html template\n"
    "from the templates directory beside this module, filled with the page title,\n"
    "the document as JSON and the initial viewport size. Callers write the page\n"
    "to a file themselves.";

}  // namespace

NIVRA_MODULE(render, kModuleDoc, body, kDefs)
