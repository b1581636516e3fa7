// viz/spikes/pages.cpp: the spike page: its template, the escaped title, and the pages
// written to a file or to a temporary file that the web browser opens.
#include "spikes.h"

#include "frame/text.h"     // escape_html

namespace nivra::spikes {

// --- _load_template, _html_escape, _render_spike_html -----------------------------

const char kLoadTemplateDoc[] =
    "Read a template from the 'templates' directory beside this module.\n\n"
    "Args:\n"
    "    name: file name, joined to the directory as given.\n\n"
    "Returns:\n"
    "    The file's text, read as UTF-8.\n\n"
    "Raises:\n"
    "    OSError (FileNotFoundError) and UnicodeDecodeError from reading.";

Ref load_template(Call& c) {
    Ref path_type = c.global(kPath);
    Ref file = c.global(kFile);
    Ref dir = templates_beside(path_type.get(), file.get());
    Ref path = new_ref(PyNumber_TrueDivide(dir.get(), c[0]));
    return read_text_utf8(path.get());
}

const char kHtmlEscapeDoc[] =
    "Escape text for HTML: & < > \" ' become &amp; &lt; &gt; &quot; &#x27;.\n\n"
    "'&' goes first, so entities already in the text are escaped once more.\n\n"
    "Args:\n"
    "    text: the text.\n\n"
    "Returns:\n"
    "    The escaped text.";

Ref html_escape(Call& c) { return escape_html(c.take(0)); }

const char kRenderSpikeHtmlDoc[] =
    "Fill the spike page template with a title and an event document.\n\n"
    "The template is 'spikes.html' in string.Template syntax: $title receives\n"
    "the escaped title, $data_json the document as json.dumps text with < > &\n"
    "U+2028 U+2029 written as \\u003c \\u003e \\u0026 \\u2028 \\u2029 (the same\n"
    "document, and no string in it can end the script element it sits in); the\n"
    "substitution is strict.\n\n"
    "Args:\n"
    "    data: the event document.\n"
    "    title: the page title.\n\n"
    "Returns:\n"
    "    The page text.\n\n"
    "Raises:\n"
    "    TypeError from json.dumps; OSError reading the template; KeyError or\n"
    "    ValueError for a template with other placeholders or a stray '$'.";

const Name kDumps("dumps"), kSubstitute("substitute"), kDataJson("data_json");

Ref render_spike_html(Call& c) {
    Ref template_type = import_from(c.module().dict(), "string", "Template");
    Ref escape = c.global(kHtmlEscape);
    Ref safe_title = call(escape.get(), c[1]);
    Ref json = c.global(kJson);
    Ref data_json = np_call(json.get(), kDumps, c[0]);
    // No string of the document may end the <script> element it is embedded in.
    if (PyUnicode_Check(data_json.get())) data_json = escape_json_for_script(data_json.get(), k::JsonBraces::Keep);
    Ref load = c.global(kLoadTemplate);
    Ref name = str("spikes.html");
    Ref template_str = call(load.get(), name.get());
    Ref tmpl = call(template_type.get(), template_str.get());
    Ref substitute = attr(tmpl.get(), kSubstitute);
    return call_kw(substitute.get(), {}, {{&kTitle, safe_title.get()}, {&kDataJson, data_json.get()}});
}

// --- writing pages -------------------------------------------------------------

namespace {

const Name kOpen("open"), kError("Error");

// Asks the browser to open `url`; false when none could be started: webbrowser.open
// returned False or raised webbrowser.Error (when the module has such a class).
bool browser_opened(PyObject* browser, PyObject* url) {
    Ref open = attr(browser, kOpen);
    try {
        Ref result = call(open.get(), url);
        return result.get() != Py_False;
    } catch (PythonError& e) {
        Ref error = get_attr_or_none(browser, kError.get());
        const bool is_class = PyType_Check(error.get()) &&
                              PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error.get()),
                                               reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
        if (!is_class || !PyErr_GivenExceptionMatches(e.exc.get(), error.get())) throw;
        return false;
    }
}

// Writes the page to a new temporary ".html" file (kept after closing), asks the
// browser to open it and returns its path; when no browser could be started a
// RuntimeWarning names the file instead. Pages are written as UTF-8, the encoding
// they declare.
Ref write_temp_and_open(Call& c, PyObject* html) {
    Ref tempfile = c.global(kTempfile);
    Ref path = write_temp_utf8(tempfile.get(), ".html", html);
    Ref browser = c.global(kWebbrowser);
    Ref empty = str("");
    Ref shown = new_ref(PyObject_Format(path.get(), empty.get()));
    Ref url = new_ref(PyUnicode_FromFormat("file://%U", shown.get()));
    if (!browser_opened(browser.get(), url.get())) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "no web browser could be started; the page is in %U", shown.get()));
    }
    return path;
}

// serialize_events(events, sensor_size, **kwargs), then the page with `title`.
Ref page_of(Call& c, PyObject* events, PyObject* sensor_size, PyObject* title) {
    Ref serialize = c.global(kSerializeEvents);
    Ref args = tuple_of({events, sensor_size});
    Ref kwargs = new_ref(PyDict_Copy(c.kwargs()));
    Ref data = new_ref(PyObject_Call(serialize.get(), args.get(), kwargs.get()));
    Ref render = c.global(kRenderSpikeHtml);
    return call_kw(render.get(), {data.get()}, {{&kTitle, title}});
}

}  // namespace

const char kPlotEventsDoc[] =
    "Show events on the spike page in the web browser.\n\n"
    "The page goes to a new temporary '.html' file (UTF-8) that is left in place\n"
    "for the browser; further keyword arguments go to serialize_events.\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    title: the page title.\n"
    "    **kwargs: n_frames, n_grid_bins, raster_time_bins, max_raster_neurons.\n\n"
    "Returns:\n"
    "    The path of the temporary file.\n\n"
    "Warns:\n"
    "    RuntimeWarning naming the file when no browser could be started.\n\n"
    "Raises:\n"
    "    The errors of serialize_events (before any file is made) and of\n"
    "    rendering and writing.";

Ref plot_events(Call& c) {
    Ref html = page_of(c, c[0], c[1], c[2]);
    return write_temp_and_open(c, html.get());
}

const char kExportEventsHtmlDoc[] =
    "Write the spike page of events to a file.\n\n"
    "The file is written as UTF-8, replacing an existing one; no directory is\n"
    "made and no suffix added.\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    output_path: a str or path object.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    title: the page title.\n"
    "    **kwargs: n_frames, n_grid_bins, raster_time_bins, max_raster_neurons.\n\n"
    "Returns:\n"
    "    str(Path(output_path)).\n\n"
    "Raises:\n"
    "    The errors of serialize_events, rendering, Path() and writing.";

Ref export_events_html(Call& c) {
    Ref html = page_of(c, c[0], c[2], c[3]);
    Ref path_type = c.global(kPath);
    Ref path = call(path_type.get(), c[1]);
    write_text_utf8(path.get(), html.get());
    return new_ref(PyObject_Str(path.get()));
}

// --- plot_frames -----------------------------------------------------------------

const char kPlotFramesDoc[] =
    "Show precomputed frames on the spike page in the web browser.\n\n"
    "(T, H, W) arrays are single-channel (ON only); (T, C, H, W) arrays use\n"
    "channel 0 as ON and channel 1 (when C >= 2) as OFF. The document has no\n"
    "events and an empty raster; its grid is the first five frames.\n\n"
    "Args:\n"
    "    frames: the frame array.\n"
    "    title: the page title.\n\n"
    "Returns:\n"
    "    The path of the temporary '.html' file.\n\n"
    "Warns:\n"
    "    RuntimeWarning naming the file when no browser could be started.\n\n"
    "Raises:\n"
    "    ValueError for arrays that are not 3-D or 4-D; IndexError for zero\n"
    "    channels; the errors of the image encoder, rendering and writing.";

namespace {

// _frames_document(frames), then the page with `title`.
Ref frames_page_of(Call& c, PyObject* frames, PyObject* title) {
    Ref document = c.global(kFramesDocument);
    Ref doc = call(document.get(), frames);
    Ref render = c.global(kRenderSpikeHtml);
    return call_kw(render.get(), {doc.get()}, {{&kTitle, title}});
}

}  // namespace

Ref plot_frames(Call& c) {
    Ref html = frames_page_of(c, c[0], c[1]);
    return write_temp_and_open(c, html.get());
}

const char kWriteFramesPageDoc[] =
    "Write the page of precomputed frames to a file, without opening a browser.\n\n"
    "The page is plot_frames' page; it is written as UTF-8, replacing an existing\n"
    "file, as export_events_html writes the page of events.\n\n"
    "Args:\n"
    "    frames: the frame array.\n"
    "    output_path: a str or path object.\n"
    "    title: the page title.\n\n"
    "Returns:\n"
    "    str(Path(output_path)).\n\n"
    "Raises:\n"
    "    The errors of _frames_document, rendering, Path() and writing.";

Ref write_frames_page(Call& c) {
    Ref html = frames_page_of(c, c[0], c[2]);
    Ref path_type = c.global(kPath);
    Ref path = call(path_type.get(), c[1]);
    write_text_utf8(path.get(), html.get());
    return new_ref(PyObject_Str(path.get()));
}

}  // namespace nivra::spikes
