// viz/spikes.cpp: event arrays -> frame stacks, grids, rasters, PNG images, the event
// document and the spike viewer page.
//
// The module's functions are written in viz/spikes/, one file per concern (see
// spikes/spikes.h); this file holds the module-level names, the module body and the
// function table.
#include "spikes/spikes.h"

using namespace nivra;
using namespace nivra::spikes;

namespace nivra::spikes {

// Module-level names, looked up at each use.
const Name kNp("np"), kTonic("tonic"), kTonicAvailable("TONIC_AVAILABLE"), kIo("io"), kBase64("base64");
const Name kJson("json"), kTempfile("tempfile"), kWebbrowser("webbrowser"), kPath("Path");
const Name kGetEventFields("_get_event_fields"), kDetectSensorSize("_detect_sensor_size");
const Name kFramesNumpy("_events_to_frames_numpy"), kFramesTonic("_events_to_frames_tonic");
const Name kEventsToFrames("events_to_frames"), kEventsToGrid("events_to_grid");
const Name kEventsToRaster("events_to_raster"), kEncodeImage("_encode_image_base64");
const Name kLoadTemplate("_load_template"), kHtmlEscape("_html_escape"), kRenderSpikeHtml("_render_spike_html");
const Name kSerializeEvents("serialize_events"), kFramesDocument("_frames_document"), kFile("__file__");

}  // namespace nivra::spikes

namespace {

// --- the module body ----------------------------------------------------------

const Name kNdarray("ndarray"), kMemmap("memmap");

// `try: <import> except ImportError: ...`: true when the import worked; an error
// that is not an ImportError propagates.
bool try_import(void (*step)(Module&), Module& m) {
    try {
        step(m);
        return true;
    } catch (PythonError& e) {
        if (!e.exc || !PyErr_GivenExceptionMatches(e.exc.get(), PyExc_ImportError)) throw;
        return false;
    }
}

// `from PIL import Image as _PILImage`.
void bind_pil_image(Module& m) {
    Ref image = import_from(m.dict(), "PIL", "Image");
    m.set("_PILImage", image.get());
}

void body(Module& m) {
    for (const char* name : {"base64", "io", "json", "tempfile", "webbrowser"}) m.import_as(name, name);
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional", "Tuple", "Union"});
    Ref np = m.import_as("numpy", "np");
    Ref ndarray = attr(np.get(), kNdarray);
    Ref memmap = attr(np.get(), kMemmap);
    g_ndarray = ndarray.release();  // kept for the life of the process
    g_memmap = memmap.release();
    g_numpy = np.copy().release();

    const bool tonic = try_import(
        [](Module& mod) {
            mod.import_as("tonic", "tonic");
            Ref top = mod.import("tonic.transforms");
            mod.set("tonic", top.get());
        },
        m);
    if (!tonic) m.set("tonic", Py_None);
    m.set("TONIC_AVAILABLE", tonic ? Py_True : Py_False);

    const bool pil = try_import([](Module& mod) { bind_pil_image(mod); }, m);
    m.set("PIL_AVAILABLE", pil ? Py_True : Py_False);

    Ref candidates = field_candidates();
    m.set("_FIELD_CANDIDATES", candidates.get());
}

// --- the function table, in binding order -------------------------------------

const Def kDefs[] = {
    NIVRA_DEF("_get_event_fields(events: np.ndarray) -> Tuple[str, str, str, str]", get_event_fields,
              kGetEventFieldsDoc),
    NIVRA_DEF("_detect_sensor_size(events: np.ndarray) -> Tuple[int, int]", detect_sensor_size,
              kDetectSensorSizeDoc),
    NIVRA_DEF("_events_to_frames_numpy(events: np.ndarray, tuple sensor_size: Tuple[int, int], "
              "int n_frames: int, bool accumulate: bool) -> np.ndarray",
              events_to_frames_numpy, kFramesNumpyDoc),
    NIVRA_DEF("_events_to_frames_tonic(events: np.ndarray, tuple sensor_size: Tuple[int, int], "
              "int n_frames: int) -> np.ndarray",
              events_to_frames_tonic, kFramesTonicDoc),
    NIVRA_DEF("events_to_frames(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_frames: int = 10, bool accumulate: bool = False, "
              "bool use_tonic: Optional[bool] = None) -> np.ndarray",
              events_to_frames, kEventsToFramesDoc),
    NIVRA_DEF("events_to_grid(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_bins: int = 5) -> np.ndarray",
              events_to_grid, kEventsToGridDoc),
    NIVRA_DEF("events_to_raster(events: np.ndarray, int n_neurons: Optional[int] = None, "
              "int time_bins: int = 100) -> np.ndarray",
              events_to_raster, kEventsToRasterDoc),
    NIVRA_DEF("_encode_image_base64(img: np.ndarray) -> str", encode_image_base64, kEncodeImageDoc),
    NIVRA_DEF("_load_template(str name: str) -> str", load_template, kLoadTemplateDoc),
    NIVRA_DEF("_html_escape(str text: str) -> str", html_escape, kHtmlEscapeDoc),
    NIVRA_DEF("_render_spike_html(dict data: Dict[str, Any], str title: str = 'Spike Visualization') -> str",
              render_spike_html, kRenderSpikeHtmlDoc),
    NIVRA_DEF("serialize_events(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_frames: int = 20, int n_grid_bins: int = 5, int raster_time_bins: int = 100, "
              "int max_raster_neurons: int = 1000) -> Dict[str, Any]",
              serialize_events, kSerializeEventsDoc),
    NIVRA_DEF("plot_events(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "str title: str = 'Spike Visualization', **kwargs: Any) -> str",
              plot_events, kPlotEventsDoc),
    NIVRA_DEF("export_events_html(events: np.ndarray, output_path: Union[str, Path], "
              "tuple sensor_size: Optional[Tuple[int, int]] = None, str title: str = 'Spike Visualization', "
              "**kwargs: Any) -> str",
              export_events_html, kExportEventsHtmlDoc),
    NIVRA_DEF("plot_frames(frames: np.ndarray, str title: str = 'Frame Visualization') -> str", plot_frames,
              kPlotFramesDoc),
    NIVRA_DEF("_frames_document(frames: np.ndarray) -> Dict[str, Any]", frames_document, kFramesDocumentDoc),
    NIVRA_DEF("_write_frames_page(frames: np.ndarray, output_path: Union[str, Path], "
              "str title: str = 'Frame Visualization') -> str",
              write_frames_page, kWriteFramesPageDoc),
    NIVRA_DEF("_bin_events_into(events: np.ndarray, out: np.ndarray, t_min: float, t_max: float, "
              "int raster_width: Optional[int] = None) -> None",
              bin_events_into, kBinEventsIntoDoc),
    NIVRA_DEF("_page_images(grid: np.ndarray, frames: np.ndarray) -> Tuple[List[str], List[str]]", page_images,
              kPageImagesDoc),
    NIVRA_DEF("_accumulate_events(events: np.ndarray, dict state: Dict[str, Any]) -> int", accumulate_events,
              kAccumulateEventsDoc),
    NIVRA_DEF("_view_scan(events: np.ndarray, dict state: Dict[str, Any]) -> Tuple[int, Any, Any]", view_scan,
              kViewScanDoc),
    NIVRA_DEF("_decode_event_stream(data: Any, out: Optional[np.ndarray], int kind: int, int width: int, "
              "int height: int, int t: int) -> Tuple[str, int, int, int, int, int]",
              decode_event_stream, kDecodeEventStreamDoc),
    NIVRA_DEF("_evt_decode(data: Any, state: np.ndarray, out: Optional[np.ndarray]) -> Tuple[int, int, int]",
              evt_decode, kEvtDecodeDoc),
};

constexpr const char kModuleDoc[] =
    "Spike and event visualization for nivra.viz.\n\n"
    "Turns event-camera (and other spike) recordings, given as NumPy structured\n"
    "arrays with x/y/t/p-style fields, into ON/OFF frame stacks, RGB time grids,\n"
    "spike rasters, PNG images and a standalone spike viewer page. Binning runs\n"
    "in one pass over the array's memory; Tonic's ToFrame is used for the frames\n"
    "when it is installed.\n\n"
    "Installation:\n"
    "    pip install nivra-viz            # NumPy and Pillow\n"
    "    pip install 'nivra-viz[tonic]'   # also Tonic's ToFrame\n\n"
    "Usage:\n"
    "    from nivra.viz.spikes import events_to_frames, plot_events, export_events_html\n"
    "    frames = events_to_frames(events, sensor_size=(346, 260), n_frames=20)\n"
    "    export_events_html(events, 'recording.html', title='My recording')\n"
    "    plot_events(events)   # opens the page in the web browser";

}  // namespace

NIVRA_MODULE(spikes, kModuleDoc, body, kDefs)
